// Finding where a value lies in a JSON text, for the positions of failures.
#pragma once

#include <cstddef>
#include <string_view>

namespace quern_protocol::json {

// These read a text whose part up to the located value is valid JSON; on any
// other text they stay within it and give some index no larger than its size.

std::size_t skip_ws(std::string_view text, std::size_t at);

// The index just past the value that starts at `begin` (after white space):
// a string through its closing quote, a number through its run of number
// characters, true/null/false by their length, a container through the
// bracket that closes it.
std::size_t value_end(std::string_view text, std::size_t begin);

// Where the member at `ordinal` (from 0) of the object that is the text's
// root lies: just past its key's closing quote, and its value's first byte.
struct MemberAt {
  std::size_t key_end = 0;
  std::size_t value_begin = 0;
};
MemberAt member_at(std::string_view text, std::size_t ordinal);

// The first byte of the first element of the array that is the text's root.
std::size_t first_element(std::string_view text);

}  // namespace quern_protocol::json
