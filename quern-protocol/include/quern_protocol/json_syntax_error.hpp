// Why a text is not exactly one JSON value: the syntax error, worded by a
// strict checker of its own once the parser has refused the text, with the
// line and column where it lies.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/system/error_code.hpp>

namespace quern_protocol::json {

// A line (from 1) and column (bytes since the line's start) in a text.
struct Position {
  std::size_t line = 1;
  std::size_t column = 0;
};

// The position after the first `consumed` bytes of `text` have been read.
Position position_of(std::string_view text, std::size_t consumed);

// `reason` followed by " at line {} column {}" for the position after `consumed` bytes.
std::string with_position(std::string_view reason, std::string_view text, std::size_t consumed);

// Why a text is not exactly one JSON value.
struct SyntaxError {
  std::string reason;        // e.g. "expected `,` or `}`", without position
  std::size_t offset = 0;    // index of the offending byte, or the text's size at its end
  std::size_t consumed = 0;  // bytes read when the error was found, offending byte included
  Position position;
  // The reason with the " at line {} column {}" suffix.
  std::string text() const;
};

// The first failure in a text that the parser refused (with `ec`, or with
// no error but only `used` bytes of it read: trailing characters), worded by
// a strict recursive-descent reading of it (strict RFC 8259, valid UTF-8,
// nesting at most `max_depth`, then only space, tab, LF or CR). Should that
// reading find nothing wrong, the parser's own error at `used` is worded.
SyntaxError syntax_error(std::string_view text, const boost::system::error_code& ec,
                         std::size_t used);

}  // namespace quern_protocol::json
