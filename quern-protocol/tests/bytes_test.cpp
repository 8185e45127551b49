#include "quern_protocol/bytes.hpp"

#include <gtest/gtest.h>

namespace {

using quern_protocol::Bytes;
using quern_protocol::BytesMut;

TEST(Bytes, SlicesAndCopiesShareStorage) {
  Bytes b = Bytes::copy_from(std::string_view("hello world"));
  Bytes copy = b;
  Bytes mid = b.slice(6, 5);
  EXPECT_EQ(mid.view(), "world");
  EXPECT_EQ(mid.data(), b.data() + 6);
  EXPECT_TRUE(copy.shares_storage_with(b));
  Bytes head = b.split_to(5);
  EXPECT_EQ(head.view(), "hello");
  EXPECT_EQ(b.view(), " world");
  EXPECT_THROW(b.slice(3, 10), std::out_of_range);
}

TEST(BytesMut, SplitOffFrontWithoutCopying) {
  BytesMut buf(16);
  buf.append(std::string_view("abcdefgh"));
  const std::uint8_t* at = buf.data();
  Bytes first = buf.split_to(3);
  EXPECT_EQ(first.data(), at);
  EXPECT_EQ(first.view(), "abc");
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(buf.data()), buf.size()), "defgh");
}

// Growing while split-off views are alive must not disturb their bytes.
TEST(BytesMut, GrowingKeepsSplitViewsIntact) {
  BytesMut buf(8);
  buf.append(std::string_view("12345678"));
  Bytes held = buf.split_to(4);
  buf.append(std::string_view("abcdefghijklmnop"));
  EXPECT_EQ(held.view(), "1234");
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(buf.data()), buf.size()),
            "5678abcdefghijklmnop");
}

// A uniquely owned buffer reuses its storage by sliding the tail to the front.
TEST(BytesMut, ReusesStorageWhenNoViewIsAlive) {
  BytesMut buf(8);
  buf.append(std::string_view("12345678"));
  const std::uint8_t* start = buf.data();
  { Bytes dropped = buf.split_to(6); }
  buf.reserve(5);
  EXPECT_EQ(buf.data(), start);
  buf.append(std::string_view("abcde"));
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(buf.data()), buf.size()), "78abcde");
}

TEST(BytesMut, FreeSpaceAndCommit) {
  BytesMut buf(4);
  auto space = buf.free_space();
  ASSERT_GE(space.size(), 4u);
  space[0] = 'x';
  space[1] = 'y';
  buf.commit(2);
  EXPECT_EQ(buf.split_to(2).view(), "xy");
  EXPECT_TRUE(buf.empty());
}

}  // namespace
