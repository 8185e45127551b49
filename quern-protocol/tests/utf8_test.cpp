#include "quern_protocol/utf8.hpp"

#include <string_view>

#include <gtest/gtest.h>

namespace quern_protocol::utf8 {
namespace {

TEST(Utf8, IsValidRejectsOverlongSurrogateAndTruncatedSequences) {
  struct Case {
    std::string_view bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"ok", true},
      {"\xE2\x82\xAC", true},       // U+20AC
      {"\xF0\x9F\x98\x80", true},   // U+1F600
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xC0\x80", false},          // overlong U+0000
      {"\xE0\x80\x80", false},      // overlong
      {"\xF0\x80\x80\x80", false},  // overlong
      {"\xED\xA0\x80", false},      // U+D800, a surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xE2\x82", false},          // cut short
      {"\x80", false},              // a lone continuation byte
      {"a\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid(c.bytes), c.valid) << ::testing::PrintToString(c.bytes);
}

}  // namespace
}  // namespace quern_protocol::utf8
