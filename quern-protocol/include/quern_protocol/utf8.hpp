// Well-formed UTF-8: the sequence that starts at a place in a text, and
// whether a whole text is UTF-8. Overlong forms, surrogates and code points
// above U+10FFFF are not well formed.
#pragma once

#include <cstddef>
#include <string_view>

namespace quern_protocol::utf8 {

// The bytes at one place of a text, which must hold a byte there.
struct Sequence {
  // The length of the well-formed sequence there (1 to 4), or 0 when the
  // bytes there are not one.
  std::size_t length;
  // The length of its longest well-formed start, at least 1: the bytes that
  // one U+FFFD stands for when the text is read lossily.
  std::size_t valid_prefix;
};

constexpr Sequence sequence_at(std::string_view t, std::size_t i) {
  const auto b = static_cast<unsigned char>(t[i]);
  if (b < 0x80) return {1, 1};
  std::size_t need = 0;
  unsigned lo = 0x80, hi = 0xBF;  // the range of the first continuation byte
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b == 0xE0) {
    need = 2, lo = 0xA0;
  } else if (b == 0xED) {
    need = 2, hi = 0x9F;
  } else if (b >= 0xE1 && b <= 0xEF) {
    need = 2;
  } else if (b == 0xF0) {
    need = 3, lo = 0x90;
  } else if (b >= 0xF1 && b <= 0xF3) {
    need = 3;
  } else if (b == 0xF4) {
    need = 3, hi = 0x8F;
  } else {
    return {0, 1};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= t.size()) return {0, k};
    const auto c = static_cast<unsigned char>(t[i + k]);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return {0, k};
  }
  return {need + 1, need + 1};
}

constexpr bool is_valid(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t length = sequence_at(s, i).length;
    if (length == 0) return false;
    i += length;
  }
  return true;
}

}  // namespace quern_protocol::utf8
