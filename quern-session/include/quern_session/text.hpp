// Text that comes from the system as bytes: made UTF-8, trimmed and split
// at Unicode white space. Whether bytes are UTF-8 at all is the protocol
// library's `utf8::is_valid`.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quern_session::text {

// Each maximal invalid subsequence becomes one U+FFFD.
std::string utf8_lossy(std::string_view s);
// Strips Unicode White_Space from both ends; `s` must be valid UTF-8.
std::string_view trim_space(std::string_view s);
// The pieces of `s` between runs of Unicode White_Space, none of them empty;
// a byte that does not start a well-formed sequence is not white space.
std::vector<std::string_view> split_space(std::string_view s);

}  // namespace quern_session::text
