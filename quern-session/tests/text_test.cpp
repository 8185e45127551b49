#include "quern_session/text.hpp"

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace quern_session::text {
namespace {

TEST(Text, TrimSpaceStripsUnicodeWhiteSpaceFromBothEnds) {
  struct Case {
    std::string_view in;
    std::string_view out;
  } cases[] = {
      {"  ok \r\n", "ok"},
      {"\xE3\x80\x80x y\xC2\xA0", "x y"},  // U+3000 and U+00A0
      {"\xC2\x85\xE2\x80\xA8", ""},        // U+0085 and U+2028 only
      {"\xC2\xA9", "\xC2\xA9"},            // U+00A9 shares its first byte with U+00A0
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(trim_space(c.in), c.out) << ::testing::PrintToString(c.in);
}

TEST(Text, SplitSpaceGivesThePiecesBetweenRunsOfWhiteSpace) {
  using Pieces = std::vector<std::string_view>;
  struct Case {
    std::string_view in;
    Pieces out;
  } cases[] = {
      {"", {}},
      {" \t\n", {}},
      {"  12 34\t56\n", {"12", "34", "56"}},
      {"a\xC2\xA0" "b\xE3\x80\x80" "c\xE2\x80\xA8" "d\xC2\x85" "e", {"a", "b", "c", "d", "e"}},
      // U+00A9 and U+2030 start like U+00A0 and U+2000..U+200A.
      {"a\xC2\xA9" "b \xE2\x80\xB0", {"a\xC2\xA9" "b", "\xE2\x80\xB0"}},
      // A cut-short sequence does not take the white space after it.
      {"\xC2 x", {"\xC2", "x"}},
      {"a\xFF b", {"a\xFF", "b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split_space(c.in), c.out) << ::testing::PrintToString(c.in);
}

}  // namespace
}  // namespace quern_session::text
