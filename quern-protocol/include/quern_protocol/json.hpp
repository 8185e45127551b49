// The JSON text layer shared by message and manifest decoding: a strict
// parser that keeps member order and duplicate members, failure texts in a
// fixed wording with a line/column suffix, and typed field decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quern_protocol/message.hpp"

namespace quern_protocol::json {

// Deepest nesting of objects and arrays accepted, the outermost counting as 1.
inline constexpr std::size_t max_depth = 127;

enum class Kind : std::uint8_t {
  missing,  // only in a partial tree: a member whose value was never read, or no root at all
  null,
  boolean,
  int64,    // any integer that fits in int64 (negative ones always)
  uint64,   // a positive integer above INT64_MAX
  float64,  // a number with a fraction or exponent, or an integer beyond uint64 / int64
  string,
  array,
  object,
};

struct Member;

// One parsed value. Members keep the order of the text, duplicates included.
struct Value {
  Kind kind = Kind::missing;
  // False for a container that a syntax error left open (and for `missing`).
  bool complete = true;
  bool boolean = false;
  std::int64_t int64 = 0;
  std::uint64_t uint64 = 0;
  double float64 = 0.0;
  std::string string;           // decoded UTF-8, escapes resolved
  std::vector<Value> items;     // array elements
  std::vector<Member> members;  // object members, in text order
  std::size_t begin = 0;        // byte offset of the value's first byte
  std::size_t end = 0;          // byte offset just past its last byte

  bool is_null() const { return kind == Kind::null; }
  bool is_object() const { return kind == Kind::object; }
  bool is_array() const { return kind == Kind::array; }
  bool is_string() const { return kind == Kind::string; }
};

struct Member {
  std::string key;          // decoded, escapes resolved
  std::size_t key_end = 0;  // byte offset just past the key's closing quote
  Value value;
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
  std::size_t consumed = 0;  // bytes read when the error was found, offending byte included
  Position position;
  // The reason with the " at line {} column {}" suffix.
  std::string text() const;
};

// The result of `parse`. On a syntax error `root` holds what was read before
// it: completed values in full, containers still open with `complete ==
// false`, and a member whose value was not started with Kind::missing. When
// the value itself was whole and only trailing characters are wrong, `root`
// is complete and `error` says "trailing characters".
struct Parsed {
  Value root;
  std::optional<SyntaxError> error;
};

// Parses a text that must hold one JSON value (strict RFC 8259, valid UTF-8,
// nesting at most `max_depth`) followed only by space, tab, LF or CR.
Parsed parse(std::string_view text);

// As `parse`, keeping the tree only when the whole text is valid.
std::expected<Value, SyntaxError> parse_value(std::string_view text);

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
std::string unexpected(const Value& v);

// "invalid type: {unexpected(v)}, expected {expected}".
std::string invalid_type(const Value& v, std::string_view expected);
// "missing field `{name}`".
std::string missing_field(std::string_view name);
// "duplicate field `{name}`".
std::string duplicate_field(std::string_view name);
// "invalid length {n}, expected {expected}".
std::string invalid_length(std::size_t n, std::string_view expected);

// ---- Typed decoders ------------------------------------------------------
// Each refuses a value of another JSON type (null included) with invalid_type.

// A JSON integer within T's range; T is one of uint16_t, uint32_t, uint64_t,
// int32_t, int64_t. Floats are refused as "floating point"; an integer out
// of range gives "invalid value: integer `{}`, expected u16" (u32, u64, i32, i64).
template <class T>
std::expected<T, std::string> to_integer(const Value& v);

// true or false ("a boolean").
std::expected<bool, std::string> to_bool(const Value& v);

// A string ("a string").
std::expected<std::string, std::string> to_string(const Value& v);

inline constexpr std::size_t max_pty_id_bytes = 256;

// A PtyId: a string of at most 256 UTF-8 bytes once decoded; a longer one gives
// "invalid length {bytes}, expected a PTY id of at most 256 bytes".
std::expected<message::PtyId, std::string> to_pty_id(const Value& v);

// An optional value: null (or missing) gives no value, anything else `decode(v)`.
template <class F>
auto to_optional(const Value& v, F&& decode)
    -> std::expected<std::optional<typename std::invoke_result_t<F, const Value&>::value_type>,
                     std::string> {
  using T = typename std::invoke_result_t<F, const Value&>::value_type;
  if (v.kind == Kind::null || v.kind == Kind::missing) return std::optional<T>{};
  auto r = std::forward<F>(decode)(v);
  if (!r) return std::unexpected(std::move(r.error()));
  return std::optional<T>(std::move(*r));
}

// ---- Records -------------------------------------------------------------

// One field of a record, in declaration order. A required field refuses to be
// left out; an optional one keeps whatever default its caller set.
struct Field {
  std::string_view name;
  bool required = true;
};

struct Record {
  std::span<const Field> fields;
  // Expected thing for a value that is neither object nor array ("struct Cursor").
  std::string_view expecting;
  // Expected thing for an array lacking a required field ("struct Cursor with 2 elements").
  std::string_view array_expecting;
};

// Called with a field's index and its value, in the order of the text.
using FieldSink = std::function<std::expected<void, std::string>(std::size_t field, const Value& v)>;

// Decodes an object or an array into a record's fields through `sink`.
// Object: members named like a field go to the sink in text order; other
// members are ignored; a field given twice gives "duplicate field `{}`"
// (before its second value is looked at); afterwards the first required field
// in declaration order that was not given gives "missing field `{}`".
// Array (elements from `first_element` on): element i is field i; when the
// array ends before a required field, "invalid length {i}, expected
// {array_expecting}"; with more elements than fields, "invalid length {n},
// expected {k} elements in sequence" ("1 element in sequence"). Any other
// value gives invalid_type(v, expecting).
std::expected<void, std::string> decode_record(const Value& v, const Record& record,
                                               const FieldSink& sink,
                                               std::size_t first_element = 0);

// "{n} elements in sequence", or "1 element in sequence".
std::string elements_in_sequence(std::size_t n);

}  // namespace quern_protocol::json
