// The ring of frames behind the outbound queue and the input channel.
#include "frame_ring.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"

namespace {

using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quernd::frame_ring::FrameRing;

// A frame of `n` bytes (at most 8) that are all `tag`.
EncodedFrame sized(std::size_t n, std::uint8_t tag) {
  return EncodedFrame{Bytes::build(n, [&](std::uint8_t* p) {
                        for (std::size_t i = 0; i < n; ++i) p[i] = tag;
                      }),
                      {}};
}

std::uint8_t tag_of(const EncodedFrame& f) { return f.head.empty() ? 0 : f.head[0]; }

TEST(FrameRingTest, KeepsOrderWhileGrowingAcrossTheWrap) {
  FrameRing ring;
  std::uint8_t next_in = 0, next_out = 0;
  for (int i = 0; i < 12; ++i) ring.push_back(sized(8, next_in++));
  for (int i = 0; i < 10; ++i) ASSERT_EQ(tag_of(ring.pop_front()), next_out++);
  // The ring's front is now near its end: growing must unwrap it.
  for (int i = 0; i < 40; ++i) ring.push_back(sized(8, next_in++));
  EXPECT_EQ(ring.size(), 42u);
  while (!ring.empty()) ASSERT_EQ(tag_of(ring.pop_front()), next_out++);
  EXPECT_EQ(next_out, next_in);
}

}  // namespace
