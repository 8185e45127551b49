// The decoder the daemon used before it decoded without a tree: a text is
// parsed into an order- and duplicate-keeping tree with byte offsets, then
// interpreted. Kept as the oracle the one-pass decoder is compared with; the
// one deliberate change since is that an integer beyond 64 bits is an
// integer ("invalid value"), not a floating point number.
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

#include "quern_protocol/json.hpp"
#include "quern_protocol/json_decoder.hpp"
#include "quern_protocol/json_syntax_error.hpp"
#include "quern_protocol/message.hpp"

namespace quern_tree {

using quern_protocol::json::Field;
using quern_protocol::json::SyntaxError;
using quern_protocol::message::DecodeError;
using quern_protocol::message::Message;

enum class Kind : std::uint8_t {
  missing,  // only in a partial tree: a member whose value was never read, or no root at all
  null,
  boolean,
  int64,
  uint64,
  big_integer,
  float64,
  string,
  array,
  object,
};

struct Member;

// One parsed value. Members keep the order of the text, duplicates included.
struct Value {
  Kind kind = Kind::missing;
  bool complete = true;  // false for a container a syntax error left open
  bool boolean = false;
  std::int64_t int64 = 0;
  std::uint64_t uint64 = 0;
  double float64 = 0.0;
  std::string string;  // decoded UTF-8, or a big integer's digits
  std::vector<Value> items;
  std::vector<Member> members;
  std::size_t begin = 0;
  std::size_t end = 0;

  bool is_null() const { return kind == Kind::null; }
  bool is_object() const { return kind == Kind::object; }
  bool is_array() const { return kind == Kind::array; }
  bool is_string() const { return kind == Kind::string; }
};

struct Member {
  std::string key;
  std::size_t key_end = 0;
  Value value;
};

struct Parsed {
  Value root;
  std::optional<SyntaxError> error;
};

Parsed parse(std::string_view text);
std::expected<Value, SyntaxError> parse_value(std::string_view text);

std::string unexpected(const Value& v);
std::string invalid_type(const Value& v, std::string_view expected);

template <class T>
std::expected<T, std::string> to_integer(const Value& v);
std::expected<bool, std::string> to_bool(const Value& v);
std::expected<std::string, std::string> to_string(const Value& v);
std::expected<quern_protocol::message::PtyId, std::string> to_pty_id(const Value& v);

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

struct Record {
  std::span<const Field> fields;
  std::string_view expecting;
  std::string_view array_expecting;
};

using FieldSink = std::function<std::expected<void, std::string>(std::size_t field, const Value& v)>;

std::expected<void, std::string> decode_record(const Value& v, const Record& record,
                                               const FieldSink& sink,
                                               std::size_t first_element = 0);

// Message::deserialize as it was.
std::expected<Message, DecodeError> deserialize(std::string_view text);

}  // namespace quern_tree
