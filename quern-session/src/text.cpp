#include "quern_session/text.hpp"

#include <cstddef>
#include <cstdint>

#include "quern_protocol/utf8.hpp"

namespace quern_session::text {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// The length of the well-formed sequence at s[i], or 0.
constexpr std::size_t length_at(std::string_view s, std::size_t i) {
  return quern_protocol::utf8::sequence_at(s, i).length;
}

char32_t decode_at(std::string_view s, std::size_t i, std::size_t len) {
  auto b = static_cast<std::uint8_t>(s[i]);
  if (len == 1) return b;
  char32_t cp = b & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<std::uint8_t>(s[i + k]) & 0x3F);
  return cp;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace

std::string utf8_lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto sequence = quern_protocol::utf8::sequence_at(s, i);
    if (sequence.length == 0) {
      out += REPLACEMENT;
      i += sequence.valid_prefix;
    } else {
      out.append(s.substr(i, sequence.length));
      i += sequence.length;
    }
  }
  return out;
}

std::string_view trim_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t len = length_at(s, begin);
    if (len == 0 || !is_white_space(decode_at(s, begin, len))) break;
    begin += len;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<std::uint8_t>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t len = length_at(s, start);
    if (len == 0 || start + len != end || !is_white_space(decode_at(s, start, len))) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::vector<std::string_view> split_space(std::string_view s) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0, i = 0;
  while (i < s.size()) {
    std::size_t len = length_at(s, i);
    if (len == 0) {
      ++i;
    } else if (is_white_space(decode_at(s, i, len))) {
      if (i > start) pieces.push_back(s.substr(start, i - start));
      i += len;
      start = i;
    } else {
      i += len;
    }
  }
  if (i > start) pieces.push_back(s.substr(start, i - start));
  return pieces;
}

}  // namespace quern_session::text
