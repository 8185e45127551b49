// The frames a connection passes on: how much of a received buffer they keep.
#include "frames.hpp"

#include <gtest/gtest.h>

#include <string>

#include "quern_protocol/bytes.hpp"

namespace {

namespace conn = quernd::conn;
using quern_protocol::Bytes;

TEST(OwnStorage, CopiesOnlyASmallViewOfALargeBuffer) {
  const Bytes large = Bytes::copy_from(std::string(1 << 20, 'l'));
  const Bytes medium = Bytes::copy_from(std::string(60 << 10, 'm'));
  const struct {
    Bytes view;
    bool copied;
  } cases[] = {
      {large.slice(10, 100), true},
      {large.slice(0, 1 << 18), false},  // a quarter of it
      {large.slice(0, (1 << 18) - 1), true},
      {medium.slice(0, 100), false},  // the buffer is small itself
      {large, false},
  };
  for (const auto& c : cases) {
    Bytes owned = conn::own_storage(c.view);
    EXPECT_EQ(owned, c.view);
    EXPECT_EQ(!owned.shares_storage_with(c.view), c.copied) << c.view.size() << " of " << c.view.storage();
    if (c.copied) {
      EXPECT_EQ(owned.storage(), c.view.size());
    }
  }
}

}  // namespace
