// What decoding costs in heap memory: values nobody keeps cost nothing,
// however large, and a relayed frame costs only the fields it keeps. The
// program's replaced allocation functions count the bytes in use.
#include <gtest/gtest.h>

#include <string>

#include "heap_count.hpp"
#include "quern_protocol/message.hpp"

namespace {

using quern_protocol::message::Message;

struct Cost {
  std::size_t peak_bytes;
  std::size_t allocations;
  std::string result;
};

Cost decode(const std::string& text) {
  const std::size_t base = heap_count::in_use();
  heap_count::reset_peak();
  const std::size_t before = heap_count::allocations();
  Cost c;
  {
    auto m = Message::deserialize(text);
    c.result = m ? std::string(m->name()) : m.error().text.substr(0, 40);
  }
  c.peak_bytes = heap_count::peak() - base;
  c.allocations = heap_count::allocations() - before;
  return c;
}

std::string list_of(std::string_view element, std::size_t bytes) {
  std::string out;
  out.reserve(bytes + element.size() + 1);
  while (out.size() < bytes) {
    if (!out.empty()) out += ',';
    out += element;
  }
  return out;
}

TEST(DecodeMemory, MembersNobodyKeepsCostNothingHoweverLarge) {
  constexpr std::size_t MiB = 1 << 20;
  struct Case {
    const char* name;
    std::string text;
    std::string result;
  };
  const Case cases[] = {
      {"a long string", R"({"type":"list","x":")" + std::string(8 * MiB, 'a') + "\"}", "List"},
      {"numbers", R"({"type":"list","x":[)" + list_of("0", 8 * MiB) + "]}", "List"},
      {"objects before the tag", R"({"x":[)" + list_of(R"({"a":[1,{}]})", 8 * MiB) + R"(],"type":"list"})",
       "List"},
      {"a list cut short", R"({"type":"list","x":[)" + list_of("[1,2]", 8 * MiB), "EOF while parsing a list at line 1 colum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Cost cost = decode(c.text);
    EXPECT_EQ(cost.result, c.result);
    EXPECT_LT(cost.peak_bytes, 64u * 1024) << cost.peak_bytes << " bytes at the peak";
  }
}

TEST(DecodeMemory, ARelayedFrameAllocatesOnlyTheFieldsItKeeps) {
  // An id of up to 15 bytes is kept inside its string.
  Cost short_id = decode(R"({"epoch":1,"id":"a","sequence":2,"type":"output"})");
  EXPECT_EQ(short_id.result, "Output");
  EXPECT_EQ(short_id.allocations, 0u);
  Cost long_id = decode(R"({"epoch":1,"id":"8d3f5a0e-1c2b-4d6e-9f7a-0b1c2d3e4f50","sequence":2,"type":"output"})");
  EXPECT_EQ(long_id.result, "Output");
  EXPECT_EQ(long_id.allocations, 1u);
  Cost write = decode(R"({"id":"a","type":"write"})");
  EXPECT_EQ(write.allocations, 0u);
}

TEST(DecodeMemory, KeptListsGrowNoFurtherThanTheTextCanFill) {
  // Four million versions are 16 MiB of integers: at the peak the list
  // grows once more, never beyond what the rest of the text can hold,
  // whether the count falls just over a power of two (4194306) or under it.
  for (std::size_t bytes : {(std::size_t(8) << 20) + 2, (std::size_t(8) << 20) - 64}) {
    const std::string hello = R"({"type":"hello","versions":[)" + list_of("1", bytes) + "]}";
    Cost cost = decode(hello);
    EXPECT_EQ(cost.result, "Hello");
    // The list's last growth holds its old and its new storage at once.
    const std::size_t versions = bytes / 2 + 1;
    EXPECT_LE(cost.peak_bytes, 2 * versions * sizeof(std::uint32_t) + 64 * 1024)
        << cost.peak_bytes << " bytes at the peak";
  }
}

}  // namespace
