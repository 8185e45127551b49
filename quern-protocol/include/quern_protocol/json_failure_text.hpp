// The failure texts of values: plain strings without a position, such as
// "invalid type: ..." and "missing field ...".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "quern_protocol/json.hpp"

namespace quern_protocol::json {

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
