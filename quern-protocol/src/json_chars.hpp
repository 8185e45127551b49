// The byte classes of JSON text, shared by the sources of the JSON text
// layer.
#pragma once

namespace quern_protocol::json {

inline bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_number_char(char c) {
  return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

}  // namespace quern_protocol::json
