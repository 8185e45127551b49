#include "quern_session/text.hpp"

#include <cstddef>
#include <cstdint>

namespace quern_session::text {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// Length of the well-formed sequence at s[i], or 0 when it is ill-formed;
// `valid_prefix` gets the length of its longest well-formed prefix (>= 1).
std::size_t sequence_at(std::string_view s, std::size_t i, std::size_t& valid_prefix) {
  auto b = static_cast<std::uint8_t>(s[i]);
  valid_prefix = 1;
  if (b < 0x80) return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b == 0xE0) {
    need = 2, lo = 0xA0;
  } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
    need = 2;
  } else if (b == 0xED) {
    need = 2, hi = 0x9F;
  } else if (b == 0xF0) {
    need = 3, lo = 0x90;
  } else if (b >= 0xF1 && b <= 0xF3) {
    need = 3;
  } else if (b == 0xF4) {
    need = 3, hi = 0x8F;
  } else {
    return 0;
  }
  std::size_t j = i + 1;
  for (std::size_t k = 0; k < need; ++k, ++j) {
    if (j >= s.size()) return 0;
    auto c = static_cast<std::uint8_t>(s[j]);
    if (c < (k == 0 ? lo : 0x80) || c > (k == 0 ? hi : 0xBF)) return 0;
    valid_prefix = j + 1 - i;
  }
  return need + 1;
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

bool is_utf8(std::string_view s) {
  std::size_t prefix;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len = sequence_at(s, i, prefix);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string utf8_lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t prefix;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len = sequence_at(s, i, prefix);
    if (len == 0) {
      out += REPLACEMENT;
      i += prefix;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string_view trim_space(std::string_view s) {
  std::size_t begin = 0, prefix;
  while (begin < s.size()) {
    std::size_t len = sequence_at(s, begin, prefix);
    if (len == 0 || !is_white_space(decode_at(s, begin, len))) break;
    begin += len;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<std::uint8_t>(s[start]) & 0xC0) == 0x80) --start;
    std::size_t len = sequence_at(s, start, prefix);
    if (len == 0 || start + len != end || !is_white_space(decode_at(s, start, len))) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::vector<std::string_view> split_space(std::string_view s) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0, i = 0, prefix;
  while (i < s.size()) {
    std::size_t len = sequence_at(s, i, prefix);
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
