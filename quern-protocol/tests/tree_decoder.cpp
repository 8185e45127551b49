#include "tree_decoder.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <utility>
#include <variant>

#include <boost/json/basic_parser_impl.hpp>

#include "quern_protocol/json_failure_text.hpp"

namespace quern_tree {

namespace json = quern_protocol::json;
using namespace quern_protocol::message;

namespace {

using boost::json::error_code;
using boost::json::string_view;

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}
using json::double_of;
using json::duplicate_field;
using json::elements_in_sequence;
using json::invalid_length;
using json::missing_field;

// SAX handler that builds the tree; what it holds after a failure is the
// part of the text read before it.
class Builder {
 public:
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_array_begin(error_code&) { return open(Kind::array); }
  bool on_array_end(std::size_t, error_code&) { return close(); }
  bool on_object_begin(error_code&) { return open(Kind::object); }
  bool on_object_end(std::size_t, error_code&) { return close(); }
  bool on_string_part(string_view s, std::size_t, error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }
  bool on_string(string_view s, std::size_t, error_code&) {
    part_.append(s.data(), s.size());
    Value v;
    v.kind = Kind::string;
    v.string = std::exchange(part_, {});
    return add(std::move(v));
  }
  bool on_key_part(string_view s, std::size_t, error_code&) {
    part_.append(s.data(), s.size());
    return true;
  }
  bool on_key(string_view s, std::size_t, error_code&) {
    part_.append(s.data(), s.size());
    Member m;
    m.key = std::exchange(part_, {});
    m.value.complete = false;
    stack_.back().members.push_back(std::move(m));
    return true;
  }
  bool on_number_part(string_view s, error_code&) {
    number_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, string_view, error_code&) {
    number_.clear();
    Value v;
    v.kind = Kind::int64;
    v.int64 = i;
    return add(std::move(v));
  }
  bool on_uint64(std::uint64_t u, string_view, error_code&) {
    number_.clear();
    Value v;
    v.kind = Kind::uint64;
    v.uint64 = u;
    return add(std::move(v));
  }
  bool on_double(double, string_view s, error_code& ec) {
    number_.append(s.data(), s.size());
    auto d = double_of(number_);
    std::string digits = std::exchange(number_, {});
    if (!d) {
      // Infinity is no JSON value: stop, the checker words the failure.
      ec = boost::json::error::exponent_overflow;
      return false;
    }
    Value v;
    if (json::is_integer_text(digits)) {
      v.kind = Kind::big_integer;
      v.string = std::move(digits);
    } else {
      v.kind = Kind::float64;
      v.float64 = *d;
    }
    return add(std::move(v));
  }
  bool on_bool(bool b, error_code&) {
    Value v;
    v.kind = Kind::boolean;
    v.boolean = b;
    return add(std::move(v));
  }
  bool on_null(error_code&) {
    Value v;
    v.kind = Kind::null;
    return add(std::move(v));
  }
  bool on_comment_part(string_view, error_code&) { return true; }
  bool on_comment(string_view, error_code&) { return true; }

  // The tree read so far; containers still open are closed as incomplete.
  Value take() {
    while (!stack_.empty()) {
      Value v = std::move(stack_.back());
      stack_.pop_back();
      add(std::move(v));
    }
    if (!root_) {
      Value none;
      none.complete = false;
      return none;
    }
    return std::move(*root_);
  }

 private:
  bool open(Kind kind) {
    Value v;
    v.kind = kind;
    v.complete = false;
    stack_.push_back(std::move(v));
    return true;
  }
  bool close() {
    Value v = std::move(stack_.back());
    stack_.pop_back();
    v.complete = true;
    return add(std::move(v));
  }
  bool add(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      return true;
    }
    Value& top = stack_.back();
    if (top.kind == Kind::array) top.items.push_back(std::move(v));
    else top.members.back().value = std::move(v);
    return true;
  }

  std::vector<Value> stack_;
  std::optional<Value> root_;
  std::string part_;
  std::string number_;
};

std::size_t skip_ws(std::string_view t, std::size_t i) {
  while (i < t.size() && is_ws(t[i])) ++i;
  return i;
}

// Index just past the string token at t[i] (its opening quote).
std::size_t skip_string(std::string_view t, std::size_t i) {
  ++i;
  while (i < t.size() && t[i] != '"') i += t[i] == '\\' ? 2 : 1;
  return std::min(i + 1, t.size());
}

// Records where each value read lies in the text. Every completed token
// lies in a prefix that the parser accepted, so plain skipping suffices.
// Returns the index after the placed part.
std::size_t place(Value& v, std::string_view t, std::size_t i) {
  i = skip_ws(t, i);
  v.begin = i;
  switch (v.kind) {
    case Kind::missing:
      v.end = i;
      return i;
    case Kind::null:
    case Kind::boolean:
      i = std::min(t.size(), i + (v.kind == Kind::null || v.boolean ? 4 : 5));
      break;
    case Kind::int64:
    case Kind::uint64:
    case Kind::big_integer:
    case Kind::float64:
      // The whole run of number characters: "01" ends after the 1, so a
      // leading zero that the checker refuses lies beyond any failure.
      while (i < t.size() && is_number_char(t[i])) ++i;
      break;
    case Kind::string:
      i = skip_string(t, i);
      break;
    case Kind::array:
      ++i;
      for (Value& item : v.items) {
        i = place(item, t, i);
        if (!item.complete) {
          v.end = i;
          return i;
        }
        i = skip_ws(t, i);
        if (i < t.size() && t[i] == ',') ++i;
      }
      if (v.complete) i = std::min(t.size(), skip_ws(t, i) + 1);
      break;
    case Kind::object:
      ++i;
      for (Member& m : v.members) {
        i = skip_string(t, skip_ws(t, i));
        m.key_end = i;
        if (m.value.kind == Kind::missing) {
          v.end = i;
          return i;
        }
        i = skip_ws(t, i) + 1;  // the colon
        i = place(m.value, t, i);
        if (!m.value.complete) {
          v.end = i;
          return i;
        }
        i = skip_ws(t, i);
        if (i < t.size() && t[i] == ',') ++i;
      }
      if (v.complete) i = std::min(t.size(), skip_ws(t, i) + 1);
      break;
  }
  v.end = i;
  return i;
}

Value missing_value() {
  Value v;
  v.complete = false;
  return v;
}

// Drops from a partial tree whatever ends beyond the failure, so that only
// values read in full before it remain.
void prune(Value& v, std::size_t limit) {
  if (v.kind == Kind::array) {
    for (std::size_t k = 0; k < v.items.size(); ++k) {
      Value& item = v.items[k];
      if (item.complete && item.end > limit) {
        v.items.resize(k);
        v.complete = false;
        return;
      }
      if (!item.complete) prune(item, limit);
    }
  } else if (v.kind == Kind::object) {
    for (std::size_t k = 0; k < v.members.size(); ++k) {
      Member& m = v.members[k];
      if (m.key_end > limit) {
        v.members.resize(k);
        v.complete = false;
        return;
      }
      if (m.value.complete && m.value.end > limit) {
        m.value = missing_value();
        v.members.resize(k + 1);
        v.complete = false;
        return;
      }
      if (!m.value.complete) prune(m.value, limit);
    }
  }
}

}  // namespace

Parsed parse(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = json::max_depth;
  boost::json::basic_parser<Builder> parser(options);
  error_code ec;
  std::size_t used = parser.write_some(false, text.data(), text.size(), ec);

  Parsed out;
  out.root = parser.handler().take();
  place(out.root, text, 0);
  if (!ec && used == text.size()) return out;

  SyntaxError err = json::syntax_error(text, ec, used);
  std::size_t offset = err.offset;
  out.error = std::move(err);
  if (out.root.complete && out.root.end > offset) out.root = missing_value();
  else if (!out.root.complete) prune(out.root, offset);
  return out;
}

std::expected<Value, SyntaxError> parse_value(std::string_view text) {
  Parsed p = parse(text);
  if (p.error) return std::unexpected(std::move(*p.error));
  return std::move(p.root);
}

std::string unexpected(const Value& v) {
  json::Scalar s;
  s.boolean = v.boolean;
  s.int64 = v.int64;
  s.uint64 = v.uint64;
  s.float64 = v.float64;
  s.text = v.string;
  switch (v.kind) {
    case Kind::missing:
    case Kind::null: s.kind = json::Kind::null; break;
    case Kind::boolean: s.kind = json::Kind::boolean; break;
    case Kind::int64: s.kind = json::Kind::int64; break;
    case Kind::uint64: s.kind = json::Kind::uint64; break;
    case Kind::big_integer: s.kind = json::Kind::big_integer; break;
    case Kind::float64: s.kind = json::Kind::float64; break;
    case Kind::string: s.kind = json::Kind::string; break;
    case Kind::array: s.kind = json::Kind::array; break;
    case Kind::object: s.kind = json::Kind::object; break;
  }
  return json::unexpected(s);
}

std::string invalid_type(const Value& v, std::string_view expected) {
  return "invalid type: " + unexpected(v) + ", expected " + std::string(expected);
}

namespace {

template <class T>
constexpr std::string_view integer_name() {
  if constexpr (std::is_same_v<T, std::uint16_t>) return "u16";
  else if constexpr (std::is_same_v<T, std::uint32_t>) return "u32";
  else if constexpr (std::is_same_v<T, std::uint64_t>) return "u64";
  else if constexpr (std::is_same_v<T, std::int32_t>) return "i32";
  else return "i64";
}

}  // namespace

template <class T>
std::expected<T, std::string> to_integer(const Value& v) {
  constexpr std::string_view name = integer_name<T>();
  if (v.kind == Kind::int64) {
    if (std::in_range<T>(v.int64)) return static_cast<T>(v.int64);
    return std::unexpected("invalid value: integer `" + std::to_string(v.int64) + "`, expected " +
                           std::string(name));
  }
  if (v.kind == Kind::uint64) {
    if (std::in_range<T>(v.uint64)) return static_cast<T>(v.uint64);
    return std::unexpected("invalid value: integer `" + std::to_string(v.uint64) + "`, expected " +
                           std::string(name));
  }
  if (v.kind == Kind::big_integer)
    return std::unexpected("invalid value: integer `" + v.string + "`, expected " +
                           std::string(name));
  return std::unexpected(invalid_type(v, name));
}

template std::expected<std::uint16_t, std::string> to_integer<std::uint16_t>(const Value&);
template std::expected<std::uint32_t, std::string> to_integer<std::uint32_t>(const Value&);
template std::expected<std::uint64_t, std::string> to_integer<std::uint64_t>(const Value&);
template std::expected<std::int32_t, std::string> to_integer<std::int32_t>(const Value&);
template std::expected<std::int64_t, std::string> to_integer<std::int64_t>(const Value&);

std::expected<bool, std::string> to_bool(const Value& v) {
  if (v.kind == Kind::boolean) return v.boolean;
  return std::unexpected(invalid_type(v, "a boolean"));
}

std::expected<std::string, std::string> to_string(const Value& v) {
  if (v.kind == Kind::string) return v.string;
  return std::unexpected(invalid_type(v, "a string"));
}

std::expected<PtyId, std::string> to_pty_id(const Value& v) {
  if (v.kind != Kind::string) return std::unexpected(invalid_type(v, "a string"));
  if (v.string.size() > 256)
    return std::unexpected(invalid_length(v.string.size(), "a PTY id of at most 256 bytes"));
  return PtyId{v.string};
}

std::expected<void, std::string> decode_record(const Value& v, const Record& record,
                                               const FieldSink& sink, std::size_t first_element) {
  const auto& fields = record.fields;
  if (v.kind == Kind::object) {
    std::vector<bool> given(fields.size(), false);
    for (const Member& m : v.members) {
      auto it = std::find_if(fields.begin(), fields.end(),
                             [&](const Field& f) { return f.name == m.key; });
      if (it == fields.end()) continue;
      auto index = static_cast<std::size_t>(it - fields.begin());
      if (given[index]) return std::unexpected(duplicate_field(it->name));
      given[index] = true;
      if (auto r = sink(index, m.value); !r) return r;
    }
    for (std::size_t k = 0; k < fields.size(); ++k)
      if (fields[k].required && !given[k]) return std::unexpected(missing_field(fields[k].name));
    return {};
  }
  if (v.kind == Kind::array) {
    std::size_t count = v.items.size() > first_element ? v.items.size() - first_element : 0;
    for (std::size_t k = 0; k < fields.size(); ++k) {
      if (k < count) {
        if (auto r = sink(k, v.items[first_element + k]); !r) return r;
      } else if (fields[k].required) {
        return std::unexpected(invalid_length(k, record.array_expecting));
      }
    }
    if (count > fields.size())
      return std::unexpected(invalid_length(count, elements_in_sequence(fields.size())));
    return {};
  }
  return std::unexpected(invalid_type(v, record.expecting));
}

namespace {

using json::Field;
using Status = std::expected<void, std::string>;

// The shapes, written here as the rows of the protocol's table of messages
// and records: a name, then the members in declaration order, each one that
// decoding may miss marked with '?'. The tags, the field lists and the texts
// that name a shape are made from these rows by the format's rules, so that
// this decoder does not share the one-pass decoder's tables (nor a slip in
// them).
struct Row {
  std::string_view name;
  std::string_view members;
};

constexpr Row kKindRows[] = {
    {"Hello", "versions"},
    {"Welcome", "version"},
    {"Attach", "id cols rows resume? drive? cwd? argv? env?"},
    {"Detach", "id"},
    {"Write", "id"},
    {"Resize", "id cols rows drive?"},
    {"Close", "id"},
    {"List", ""},
    {"Listed", "entries"},
    {"Pause", "id"},
    {"Resume", "id"},
    {"Output", "id epoch sequence"},
    {"Exited", "id epoch sequence code? signal?"},
    {"Error", "id? message"},
};
constexpr std::size_t kKinds = std::size(kKindRows);
static_assert(kKinds == std::variant_size_v<Message::Variant>);

constexpr Row kCursorRow{"Cursor", "epoch sequence"};
constexpr Row kExitRow{"Exit", "code? signal?"};
constexpr Row kPtyEntryRow{"PtyEntry", "id cursor exited?"};

// A row made into what decoding needs.
struct Shape {
  std::vector<Field> fields;
  std::string expecting;        // a record's name in a refusal, "struct Cursor"
  std::string array_expecting;  // "struct Cursor with 2 elements"

  Record record() const { return Record{fields, expecting, array_expecting}; }
};

// `prefix` comes before the row's name: "struct " for a record, "struct
// variant Message::" for a kind of message.
Shape shape_of(const Row& row, std::string_view prefix) {
  Shape shape;
  std::string_view rest = row.members;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find(' '), rest.size());
    std::string_view member = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const bool may_miss = member.ends_with('?');
    if (may_miss) member.remove_suffix(1);
    shape.fields.push_back(Field{member, !may_miss});
  }
  const std::size_t n = shape.fields.size();
  shape.expecting = std::string(prefix) + std::string(row.name);
  shape.array_expecting = shape.expecting + " with " + std::to_string(n) + (n == 1 ? " element" : " elements");
  return shape;
}

struct Shapes {
  Shape cursor = shape_of(kCursorRow, "struct ");
  Shape exit = shape_of(kExitRow, "struct ");
  Shape pty_entry = shape_of(kPtyEntryRow, "struct ");
  std::array<Shape, kKinds> kinds;
  // A kind's tag is its name in lower case.
  std::array<std::string, kKinds> tags;

  Shapes() {
    for (std::size_t k = 0; k < kKinds; ++k) {
      kinds[k] = shape_of(kKindRows[k], "struct variant Message::");
      for (char c : kKindRows[k].name) tags[k] += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
};

const Shapes& shapes() {
  static const Shapes made;
  return made;
}

template <class T>
Status assign(T& out, std::expected<T, std::string> r) {
  if (!r) return std::unexpected(std::move(r.error()));
  out = std::move(*r);
  return {};
}

std::expected<Cursor, std::string> decode_cursor(const Value& v);
std::expected<Exit, std::string> decode_exit(const Value& v);
std::expected<PtyEntry, std::string> decode_pty_entry(const Value& v);

std::expected<std::optional<std::int32_t>, std::string> optional_i32(const Value& v) {
  return to_optional(v, to_integer<std::int32_t>);
}

template <class T, class F>
std::expected<std::vector<T>, std::string> sequence_of(const Value& v, F&& element) {
  if (v.kind != Kind::array) return std::unexpected(invalid_type(v, "a sequence"));
  std::vector<T> out;
  out.reserve(v.items.size());
  for (const Value& item : v.items) {
    auto r = element(item);
    if (!r) return std::unexpected(std::move(r.error()));
    out.push_back(std::move(*r));
  }
  return out;
}

std::expected<std::map<std::string, std::string>, std::string> string_map(const Value& v) {
  if (v.kind != Kind::object) return std::unexpected(invalid_type(v, "a map"));
  std::map<std::string, std::string> out;
  for (const Member& m : v.members) {
    auto s = to_string(m.value);
    if (!s) return std::unexpected(std::move(s.error()));
    out.insert_or_assign(m.key, std::move(*s));  // a repeated name keeps its last value
  }
  return out;
}

std::expected<Cursor, std::string> decode_cursor(const Value& v) {
  Cursor c;
  auto r = decode_record(
      v, shapes().cursor.record(),
      [&](std::size_t f, const Value& x) -> Status {
        return assign(f == 0 ? c.epoch : c.sequence, to_integer<std::uint64_t>(x));
      });
  if (!r) return std::unexpected(std::move(r.error()));
  return c;
}

std::expected<Exit, std::string> decode_exit(const Value& v) {
  Exit e;
  auto r = decode_record(v, shapes().exit.record(),
                               [&](std::size_t f, const Value& x) -> Status {
                                 return assign(f == 0 ? e.code : e.signal, optional_i32(x));
                               });
  if (!r) return std::unexpected(std::move(r.error()));
  return e;
}

std::expected<PtyEntry, std::string> decode_pty_entry(const Value& v) {
  PtyEntry p;
  auto r = decode_record(
      v, shapes().pty_entry.record(),
      [&](std::size_t f, const Value& x) -> Status {
        switch (f) {
          case 0: return assign(p.id, to_pty_id(x));
          case 1: return assign(p.cursor, decode_cursor(x));
          default: return assign(p.exited, to_optional(x, decode_exit));
        }
      });
  if (!r) return std::unexpected(std::move(r.error()));
  return p;
}

// The sink that fills kind T from its fields by index.
template <class T>
Status fill(T& m, std::size_t f, const Value& x) {
  if constexpr (std::is_same_v<T, Hello>) {
    return assign(m.versions, sequence_of<std::uint32_t>(x, to_integer<std::uint32_t>));
  } else if constexpr (std::is_same_v<T, Welcome>) {
    return assign(m.version, to_integer<std::uint32_t>(x));
  } else if constexpr (std::is_same_v<T, Attach>) {
    switch (f) {
      case 0: return assign(m.id, to_pty_id(x));
      case 1: return assign(m.cols, to_integer<std::uint16_t>(x));
      case 2: return assign(m.rows, to_integer<std::uint16_t>(x));
      case 3: return assign(m.resume, to_optional(x, decode_cursor));
      case 4: return assign(m.drive, to_bool(x));
      case 5: return assign(m.cwd, to_optional(x, to_string));
      case 6: return assign(m.argv, sequence_of<std::string>(x, to_string));
      default: return assign(m.env, string_map(x));
    }
  } else if constexpr (std::is_same_v<T, Resize>) {
    switch (f) {
      case 0: return assign(m.id, to_pty_id(x));
      case 1: return assign(m.cols, to_integer<std::uint16_t>(x));
      case 2: return assign(m.rows, to_integer<std::uint16_t>(x));
      default: return assign(m.drive, to_bool(x));
    }
  } else if constexpr (std::is_same_v<T, List>) {
    return {};
  } else if constexpr (std::is_same_v<T, Listed>) {
    return assign(m.entries, sequence_of<PtyEntry>(x, decode_pty_entry));
  } else if constexpr (std::is_same_v<T, Output>) {
    switch (f) {
      case 0: return assign(m.id, to_pty_id(x));
      case 1: return assign(m.epoch, to_integer<std::uint64_t>(x));
      default: return assign(m.sequence, to_integer<std::uint64_t>(x));
    }
  } else if constexpr (std::is_same_v<T, Exited>) {
    switch (f) {
      case 0: return assign(m.id, to_pty_id(x));
      case 1: return assign(m.epoch, to_integer<std::uint64_t>(x));
      case 2: return assign(m.sequence, to_integer<std::uint64_t>(x));
      case 3: return assign(m.code, optional_i32(x));
      default: return assign(m.signal, optional_i32(x));
    }
  } else if constexpr (std::is_same_v<T, Error>) {
    if (f == 0) return assign(m.id, to_optional(x, to_pty_id));
    return assign(m.message, to_string(x));
  } else {
    // Detach, Write, Close, Pause, Resume: the id alone.
    return assign(m.id, to_pty_id(x));
  }
}

// Steps 3 and 4: the kept members, interpreted for the kind.
template <std::size_t I>
std::expected<Message, std::string> decode_as(const Value& root) {
  using T = std::variant_alternative_t<I, Message::Variant>;
  T m{};
  const Shape& shape = shapes().kinds[I];
  Record record{shape.fields, "", shape.array_expecting};
  auto r = decode_record(
      root, record, [&](std::size_t f, const Value& x) { return fill(m, f, x); },
      root.is_array() ? 1 : 0);
  if (!r) return std::unexpected(std::move(r.error()));
  return Message(std::move(m));
}

template <std::size_t... I>
std::expected<Message, std::string> decode_kind(std::size_t kind, const Value& root,
                                                std::index_sequence<I...>) {
  using Fn = std::expected<Message, std::string> (*)(const Value&);
  constexpr Fn table[] = {&decode_as<I>...};
  return table[kind](root);
}

std::string unknown_variant(std::string_view found) {
  std::string out = "unknown variant `";
  out += found;
  out += "`, expected one of ";
  for (std::size_t k = 0; k < kKinds; ++k) {
    if (k) out += ", ";
    out += '`';
    out += shapes().tags[k];
    out += '`';
  }
  return out;
}

// The kind a tag value names, or the failure text with its position.
std::expected<std::size_t, std::string> kind_of_tag(const Value& tag, std::string_view text) {
  if (tag.kind == Kind::array || tag.kind == Kind::object)
    // Refused as soon as it opens, whatever follows inside it.
    return std::unexpected(
        json::with_position(invalid_type(tag, "variant identifier"), text, tag.begin));
  if (tag.kind != Kind::string)
    return std::unexpected(
        json::with_position(invalid_type(tag, "variant identifier"), text, tag.end));
  for (std::size_t k = 0; k < kKinds; ++k)
    if (shapes().tags[k] == tag.string) return k;
  return std::unexpected(json::with_position(unknown_variant(tag.string), text, tag.end));
}

// Step 2: finds the tag among what was read, in text order. No kind and no
// failure means the tag was not (yet) seen.
std::expected<std::optional<std::size_t>, std::string> find_tag(const Value& root,
                                                                std::string_view text) {
  std::optional<std::size_t> kind;
  if (root.kind == Kind::array) {
    if (root.items.empty()) return kind;
    auto k = kind_of_tag(root.items.front(), text);
    if (!k) return std::unexpected(std::move(k.error()));
    return *k;
  }
  for (const Member& m : root.members) {
    if (m.key != "type") continue;
    if (kind)
      return std::unexpected(json::with_position(json::duplicate_field("type"), text, m.key_end));
    if (m.value.kind == Kind::missing) break;  // cut off by a syntax error
    auto k = kind_of_tag(m.value, text);
    if (!k) return std::unexpected(std::move(k.error()));
    kind = *k;
  }
  return kind;
}

DecodeError failure(std::string text) { return DecodeError{std::move(text)}; }

}  // namespace

std::expected<Message, DecodeError> deserialize(std::string_view text) {
  Parsed parsed = parse(text);
  const Value& root = parsed.root;

  if (!root.complete) {
    if (root.kind == Kind::object || root.kind == Kind::array) {
      auto tag = find_tag(root, text);
      if (!tag) return std::unexpected(failure(std::move(tag.error())));
    }
    return std::unexpected(failure(parsed.error->text()));
  }

  if (root.kind != Kind::object && root.kind != Kind::array)
    return std::unexpected(failure(json::with_position(
        invalid_type(root, "internally tagged enum Message"), text, root.end)));
  auto tag = find_tag(root, text);
  if (!tag) return std::unexpected(failure(std::move(tag.error())));
  if (!*tag)
    return std::unexpected(
        failure(json::with_position(json::missing_field("type"), text, root.end)));

  auto message = decode_kind(**tag, root, std::make_index_sequence<kKinds>{});
  if (!message) return std::unexpected(failure(std::move(message.error())));
  if (parsed.error) return std::unexpected(failure(parsed.error->text()));
  return std::move(*message);
}

}  // namespace quern_tree
