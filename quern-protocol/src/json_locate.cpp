#include "quern_protocol/json_locate.hpp"

#include <algorithm>

#include "json_chars.hpp"

namespace quern_protocol::json {

std::size_t skip_ws(std::string_view t, std::size_t i) {
  while (i < t.size() && is_ws(t[i])) ++i;
  return i;
}

namespace {

// Index just past the string token at t[i] (its opening quote).
std::size_t skip_string(std::string_view t, std::size_t i) {
  ++i;
  while (i < t.size() && t[i] != '"') i += t[i] == '\\' ? 2 : 1;
  return std::min(i + 1, t.size());
}

}  // namespace

std::size_t value_end(std::string_view t, std::size_t i) {
  i = skip_ws(t, i);
  if (i >= t.size()) return t.size();
  switch (t[i]) {
    case '"': return skip_string(t, i);
    case 'n':
    case 't': return std::min(t.size(), i + 4);
    case 'f': return std::min(t.size(), i + 5);
    case '{':
    case '[': {
      std::size_t depth = 0;
      while (i < t.size()) {
        char c = t[i];
        if (c == '"') {
          i = skip_string(t, i);
          continue;
        }
        if (c == '{' || c == '[') ++depth;
        else if ((c == '}' || c == ']') && --depth == 0) return i + 1;
        ++i;
      }
      return t.size();
    }
    default:
      // The whole run of number characters: "01" ends after the 1, so a
      // leading zero that the checker refuses lies beyond the failure.
      while (i < t.size() && is_number_char(t[i])) ++i;
      return i;
  }
}

MemberAt member_at(std::string_view t, std::size_t ordinal) {
  std::size_t i = skip_ws(t, 0) + 1;  // the brace
  MemberAt at;
  for (std::size_t k = 0;; ++k) {
    at.key_end = skip_string(t, skip_ws(t, i));
    at.value_begin = skip_ws(t, skip_ws(t, at.key_end) + 1);  // past the colon
    if (k == ordinal || at.value_begin >= t.size()) return at;
    i = skip_ws(t, value_end(t, at.value_begin)) + 1;  // past the comma
  }
}

std::size_t first_element(std::string_view t) { return skip_ws(t, skip_ws(t, 0) + 1); }

}  // namespace quern_protocol::json
