#include "quern_protocol/frame.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace quern_protocol;
using namespace quern_protocol::frame;

std::string header(std::uint32_t total, std::uint32_t json) {
  std::string h(8, '\0');
  for (int i = 0; i < 4; ++i) {
    h[i] = char(total >> (24 - 8 * i));
    h[4 + i] = char(json >> (24 - 8 * i));
  }
  return h;
}

std::string frame_bytes(std::string_view json, std::string_view payload) {
  return header(std::uint32_t(4 + json.size() + payload.size()), std::uint32_t(json.size())) +
         std::string(json) + std::string(payload);
}

struct HeaderCase {
  const char* name;
  std::uint32_t total;
  std::uint32_t json;
  const char* error;  // nullptr: incomplete ("none") once only the header is in
};

class HeaderChecks : public ::testing::TestWithParam<HeaderCase> {};

// The header's checks decide as soon as 8 bytes are in, and consume nothing.
TEST_P(HeaderChecks, DecidedOnEightBytes) {
  const auto& c = GetParam();
  BytesMut buf(16);
  buf.append(header(c.total, c.json));
  auto r = decode_frame(buf);
  if (c.error) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().what(), c.error);
    EXPECT_EQ(buf.size(), 8u);
    auto again = decode_frame(buf);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error(), r.error());
  } else {
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->has_value());
    EXPECT_EQ(buf.size(), 8u);
  }
  Bytes whole = Bytes::copy_from(header(c.total, c.json));
  auto rb = decode_frame_bytes(whole);
  EXPECT_EQ(rb.has_value(), c.error == nullptr);
  EXPECT_EQ(whole.size(), 8u);
}

INSTANTIATE_TEST_SUITE_P(
    Frame, HeaderChecks,
    ::testing::Values(
        HeaderCase{"AtCapIncomplete", 8388608, 0, nullptr},
        HeaderCase{"OverCap", 8388609, 0,
                   "frame too large: totalLen 8388609 exceeds the 8388608-byte cap"},
        HeaderCase{"OverCapBeatsJsonLen", 9437184, 4294967295u,
                   "frame too large: totalLen 9437184 exceeds the 8388608-byte cap"},
        HeaderCase{"TooSmall3", 3, 77, "frame too small: totalLen 3 cannot hold a jsonLen word"},
        HeaderCase{"TooSmall0", 0, 0, "frame too small: totalLen 0 cannot hold a jsonLen word"},
        HeaderCase{"JsonLenOverBody", 14, 11, "jsonLen 11 exceeds the 10-byte frame body"},
        HeaderCase{"JsonLenFitsBody", 14, 10, nullptr}),
    [](const auto& info) { return info.param.name; });

TEST(Frame, SevenBytesAreNone) {
  BytesMut buf(16);
  buf.append(header(0xFFFFFFFF, 0).substr(0, 7));
  auto r = decode_frame(buf);
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->has_value());
  EXPECT_EQ(buf.size(), 7u);
}

TEST(Frame, SmallestFrameIsEmpty) {
  BytesMut buf(16);
  buf.append(header(4, 0));
  auto r = decode_frame(buf);
  ASSERT_TRUE(r && *r);
  EXPECT_TRUE((*r)->json.empty());
  EXPECT_TRUE((*r)->payload.empty());
  EXPECT_TRUE(buf.empty());
}

TEST(Frame, JsonOnlyFrame) {
  BytesMut buf(32);
  buf.append(header(14, 10) + "0123456789");
  auto r = decode_frame(buf);
  ASSERT_TRUE(r && *r);
  EXPECT_EQ((*r)->json.view(), "0123456789");
  EXPECT_TRUE((*r)->payload.empty());
}

TEST(Frame, FrameAtCapDecodes) {
  std::string payload(8388604, 'p');
  BytesMut buf(16);
  buf.append(frame_bytes("", payload));
  auto r = decode_frame(buf);
  ASSERT_TRUE(r && *r);
  EXPECT_EQ((*r)->payload.size(), 8388604u);
}

// Frames are split off the receive buffer as views: nothing is copied.
TEST(Frame, TwoFramesAndAPartialThird) {
  std::string a = frame_bytes("{\"a\":1}", "xyz");
  std::string b = frame_bytes("{}", "");
  std::string c = frame_bytes("{\"c\":3}", "pp").substr(0, 5);
  BytesMut buf(64);
  buf.append(a + b + c);
  const std::uint8_t* base = buf.data();
  auto f1 = decode_frame(buf);
  ASSERT_TRUE(f1 && *f1);
  EXPECT_EQ((*f1)->json.view(), "{\"a\":1}");
  EXPECT_EQ((*f1)->payload.view(), "xyz");
  EXPECT_EQ((*f1)->json.data(), base + 8);
  auto f2 = decode_frame(buf);
  ASSERT_TRUE(f2 && *f2);
  EXPECT_EQ((*f2)->json.view(), "{}");
  auto f3 = decode_frame(buf);
  ASSERT_TRUE(f3);
  EXPECT_FALSE(f3->has_value());
  EXPECT_EQ(buf.size(), 5u);
}

TEST(Frame, DecodeBytesLeavesTheRest) {
  Bytes msg = Bytes::copy_from(frame_bytes("{}", "data") + "abc");
  auto r = decode_frame_bytes(msg);
  ASSERT_TRUE(r && *r);
  EXPECT_EQ((*r)->payload.view(), "data");
  EXPECT_EQ(msg.view(), "abc");
  EXPECT_TRUE((*r)->payload.shares_storage_with(msg));
}

TEST(Frame, EncodeTenByteJson) {
  std::string json = "0123456789";
  auto f = encode_frame_parts(std::span(reinterpret_cast<const std::uint8_t*>(json.data()), 10),
                              Bytes());
  ASSERT_TRUE(f);
  ASSERT_EQ(f->head.size(), 18u);
  EXPECT_EQ(f->head.view().substr(0, 8), header(14, 10));
  EXPECT_EQ(f->payload.size(), 0u);
  EXPECT_EQ(f->to_bytes().view(), f->head.view());
}

TEST(Frame, EncodeAtAndOverCap) {
  std::string json = "{}";
  auto span = std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
  Bytes payload = Bytes::copy_from(std::string(8388602, 'x'));
  auto ok = encode_frame_parts(span, payload);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->head.view().substr(0, 4), header(8388608, 2).substr(0, 4));
  EXPECT_TRUE(ok->payload.shares_storage_with(payload));
  EXPECT_EQ(ok->payload.data(), payload.data());
  Bytes bigger = Bytes::copy_from(std::string(8388603, 'x'));
  auto over = encode_frame_parts(span, bigger);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().what(), "frame too large: totalLen 8388609 exceeds the 8388608-byte cap");
}

// The sum is computed in 64 bits: no 32-bit wrap-around lets a huge frame through.
TEST(Frame, EncodeSumDoesNotWrap) {
  std::vector<std::uint8_t> json(16);
  // A span claiming just under 4 GiB of JSON, never read: the size check comes first.
  std::span<const std::uint8_t> huge(json.data(), std::size_t(0xFFFFFFFFu));
  auto over = encode_frame_parts(huge, Bytes());
  ASSERT_FALSE(over);
  EXPECT_EQ(std::get<TooLarge>(over.error().value).total_len, 0xFFFFFFFFull + 4);
}

TEST(Frame, ReencodeGivesTheReceivedBytes) {
  std::string wire = frame_bytes("{\"type\":\"output\"}", std::string("\0\x01\xff payload", 11));
  BytesMut buf(64);
  buf.append(wire);
  auto f = decode_frame(buf);
  ASSERT_TRUE(f && *f);
  auto e = encode_frame_parts((*f)->json.span(), (*f)->payload);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->to_bytes().view(), wire);
  EXPECT_EQ(e->payload.data(), (*f)->payload.data());
}

}  // namespace
