// The data plane's access token: how it is drawn and how it is compared.
#include "token.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace {

namespace dp = quernd::data_plane;

const std::string TOKEN = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(Token, IsSixtyFourLowercaseHexDigitsAndNewEachTime) {
  std::set<std::string> seen;
  for (int i = 0; i < 8; ++i) {
    auto token = dp::Token::generate();
    ASSERT_TRUE(token) << token.error().what();
    const std::string& digits = token->secret();
    ASSERT_EQ(digits.size(), 64u);
    EXPECT_TRUE(std::ranges::all_of(digits, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
        << digits;
    seen.insert(digits);
  }
  EXPECT_EQ(seen.size(), 8u);
}

TEST(Token, MatchesOnlyItsExactBytes) {
  const auto token = dp::Token::from_digits(TOKEN);
  std::string upper = TOKEN;
  std::ranges::transform(upper, upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  std::string last_wrong = TOKEN;
  last_wrong.back() = '0';
  std::string first_wrong = TOKEN;
  first_wrong.front() = 'f';
  const std::pair<std::string, bool> cases[] = {
      {TOKEN, true},
      {upper, false},
      {TOKEN.substr(0, 63), false},
      {TOKEN + "0", false},
      {"", false},
      {last_wrong, false},
      {first_wrong, false},
      {" " + TOKEN.substr(1), false},
      {std::string(64, '\0'), false},
  };
  for (const auto& [candidate, expected] : cases) {
    EXPECT_EQ(token.matches(candidate), expected) << "[" << candidate << "]";
  }
}

}  // namespace
