// The JSON text layer shared by message and manifest decoding: the wording
// of syntax failures with their line/column suffix, the failure texts of
// values, and the scanning that finds where a value lies in a text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/system/error_code.hpp>

namespace quern_protocol::json {

// Deepest nesting of objects and arrays accepted, the outermost counting as 1.
inline constexpr std::size_t max_depth = 127;

enum class Kind : std::uint8_t {
  null,
  boolean,
  int64,        // any integer that fits in int64 (negative ones always)
  uint64,       // a positive integer above INT64_MAX
  big_integer,  // an integer beyond uint64 / int64, kept as written
  float64,      // a number with a fraction or exponent
  string,
  array,
  object,
};

// One value as a decoder meets it: a scalar with its contents, or the kind
// of a container that is just opening.
struct Scalar {
  Kind kind = Kind::null;
  bool boolean = false;
  std::int64_t int64 = 0;
  std::uint64_t uint64 = 0;
  double float64 = 0.0;
  std::string_view text;  // a string's decoded UTF-8, or a big integer's digits
};

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

// The double of a JSON number text, correctly rounded; none when it is too
// large for a double (a too small one becomes zero).
std::optional<double> double_of(std::string_view number);

// Whether a JSON number text has neither fraction nor exponent.
bool is_integer_text(std::string_view number);

// ---- Locating values -------------------------------------------------------
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

// ---- Failure texts -------------------------------------------------------
// Field-level failures carry no position; they are plain strings.

// A text in double quotes with the debug escapes (\" \\ \t \r \n \0, other
// control, non-printable and combining characters as \u{hex}).
std::string quoted(std::string_view text);

// A double written the way error texts show it: shortest round-trip digits in
// plain decimal, with ".0" added when there is no fraction ("80.0").
std::string float_text(double d);

// What a value is, for "invalid type": "integer `5`", "floating point `8.5`",
// "boolean `true`", "string \"x\"", "null", "sequence" or "map".
std::string unexpected(const Scalar& v);

// "invalid type: {unexpected(v)}, expected {expected}".
std::string invalid_type(const Scalar& v, std::string_view expected);
// "missing field `{name}`".
std::string missing_field(std::string_view name);
// "duplicate field `{name}`".
std::string duplicate_field(std::string_view name);
// "invalid length {n}, expected {expected}".
std::string invalid_length(std::size_t n, std::string_view expected);
// "{n} elements in sequence", or "1 element in sequence".
std::string elements_in_sequence(std::size_t n);

}  // namespace quern_protocol::json
