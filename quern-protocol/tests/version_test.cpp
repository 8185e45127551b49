#include "quern_protocol/version.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

using quern_protocol::version::negotiate;

TEST(Version, AgreesOnOneWhereverItStands) {
  for (const std::vector<std::uint32_t>& offer :
       {std::vector<std::uint32_t>{1}, {2, 1}, {1, 1}, {3, 1}, {1, 1, 2}}) {
    auto r = negotiate(offer);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, 1u);
  }
}

TEST(Version, RefusalTexts) {
  struct Case {
    std::vector<std::uint32_t> offer;
    const char* text;
  };
  const Case cases[] = {
      {{}, "no protocol version in common: peer speaks [], this build [1]"},
      {{2, 3}, "no protocol version in common: peer speaks [2, 3], this build [1]"},
      {{2, 3, 4, 5, 6, 7, 8, 9},
       "no protocol version in common: peer speaks [2, 3, 4, 5, 6, 7, 8, 9], this build [1]"},
      {{2, 3, 4, 5, 6, 7, 8, 9, 10},
       "no protocol version in common: peer speaks [2, 3, 4, 5, 6, 7, 8, 9] and 1 more, this "
       "build [1]"},
      {{0, 4294967295u}, "no protocol version in common: peer speaks [0, 4294967295], this build [1]"},
  };
  for (const auto& c : cases) {
    auto r = negotiate(c.offer);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().what(), c.text);
    EXPECT_EQ(r.error().peer, c.offer);
  }
}

}  // namespace
