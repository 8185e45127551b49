// The byte classes of JSON text and the length of a UTF-8 sequence, shared
// by the sources of the JSON text layer.
#pragma once

#include <cstddef>
#include <string_view>

namespace quern_protocol::json {

inline bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_number_char(char c) {
  return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Length of the well-formed UTF-8 sequence at t[i] (1 to 4), or 0 when the
// bytes there are not one (overlong forms and surrogates included).
inline std::size_t utf8_sequence(std::string_view t, std::size_t i) {
  auto byte = [&](std::size_t k) -> unsigned {
    return i + k < t.size() ? static_cast<unsigned char>(t[i + k]) : 0x100u;
  };
  auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    unsigned b = byte(k);
    return b >= lo && b <= hi;
  };
  unsigned b0 = byte(0);
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
  if (b0 == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
  if (b0 == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (b0 >= 0xE1 && b0 <= 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (b0 == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  if (b0 >= 0xF1 && b0 <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (b0 == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

}  // namespace quern_protocol::json
