#include "memory.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

[[maybe_unused]] long rss_kib() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(Memory, TrimGivesBackWhatABurstLeftBehind) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator is not the one trimmed";
#else
  // Small blocks live in the heap itself, not in mappings of their own; a
  // few that stay, spread over it, keep the allocator from returning the
  // rest by itself when it is freed.
  std::vector<std::unique_ptr<char[]>> blocks;
  std::vector<std::unique_ptr<char[]>> kept;
  for (int i = 0; i < 64 * 1024; ++i) {
    blocks.emplace_back(new char[1000]);
    for (int j = 0; j < 1000; j += 256) blocks.back()[j] = 1;
    if (i % 256 == 255) kept.emplace_back(new char[16]);
  }
  blocks.clear();
  ASSERT_GT(quernd::memory::held_free(), quernd::memory::TRIM_THRESHOLD);
  const long before = rss_kib();
  quernd::memory::trim();
  const long after = rss_kib();
  EXPECT_LT(after, before - 32 * 1024) << "before " << before << " KiB, after " << after << " KiB";
#endif
}

TEST(Memory, LargeBlocksGoBackToTheSystemWhenFreed) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator is not the one set";
#else
  quernd::memory::give_back_large_blocks();
  // Counted from here: whatever earlier work left free stays as it was.
  const std::size_t before = quernd::memory::held_free();
  // Frame buffers of all sizes up to 8 MiB, freed in turn: none stays.
  for (std::size_t size : {2u << 20, 8u << 20, 4u << 20, 8u << 20}) {
    std::unique_ptr<char[]> block(new char[size]);
    for (std::size_t i = 0; i < size; i += 4096) block[i] = 1;
  }
  EXPECT_LT(quernd::memory::held_free(), before + quernd::memory::LARGE_BLOCK);
#endif
}

TEST(Memory, SmallBlocksFreedStayWithTheAllocator) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator is not the one set";
#else
  quernd::memory::give_back_large_blocks();
  // Receive buffers of 64 KiB come and go with every frame relayed; given
  // back to the system each time, they cost a trip to it and page faults
  // on every reuse. Freed at the heap's top, they stay until a trim.
  std::vector<std::unique_ptr<char[]>> blocks;
  for (int i = 0; i < 32; ++i) {
    blocks.emplace_back(new char[64 * 1024]);
    for (std::size_t j = 0; j < 64 * 1024; j += 4096) blocks.back()[j] = 1;
  }
  const std::size_t before = quernd::memory::held_free();
  blocks.clear();
  EXPECT_GE(quernd::memory::held_free(), before + 31 * 64 * 1024);
#endif
}

}  // namespace
