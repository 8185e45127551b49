// The JSON value layer shared by message and manifest decoding: the nesting
// limit, what a value is as a decoder meets it, and the reading of number
// texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

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

// The double of a JSON number text, correctly rounded; none when it is too
// large for a double (a too small one becomes zero).
std::optional<double> double_of(std::string_view number);

// Whether a JSON number text has neither fraction nor exponent.
bool is_integer_text(std::string_view number);

}  // namespace quern_protocol::json
