#include "quern_protocol/message.hpp"

#include <array>
#include <utility>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "quern_protocol/json.hpp"

namespace quern_protocol::message {

namespace {

using json::Field;
using json::Kind;
using json::Value;
using Status = std::expected<void, std::string>;

constexpr std::array<std::string_view, 14> kNames = {
    "Hello", "Welcome", "Attach", "Detach", "Write",  "Resize", "Close",
    "List",  "Listed",  "Pause",  "Resume", "Output", "Exited", "Error",
};
constexpr std::array<std::string_view, 14> kTags = {
    "hello", "welcome", "attach", "detach", "write",  "resize", "close",
    "list",  "listed",  "pause",  "resume", "output", "exited", "error",
};
static_assert(std::variant_size_v<Message::Variant> == kTags.size());

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// Clang before 17 does not deduce aggregate template arguments by itself.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// ---- Decoding helpers ----------------------------------------------------

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
  return json::to_optional(v, json::to_integer<std::int32_t>);
}

template <class T, class F>
std::expected<std::vector<T>, std::string> sequence_of(const Value& v, F&& element) {
  if (v.kind != Kind::array) return std::unexpected(json::invalid_type(v, "a sequence"));
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
  if (v.kind != Kind::object) return std::unexpected(json::invalid_type(v, "a map"));
  std::map<std::string, std::string> out;
  for (const json::Member& m : v.members) {
    auto s = json::to_string(m.value);
    if (!s) return std::unexpected(std::move(s.error()));
    out.insert_or_assign(m.key, std::move(*s));  // a repeated name keeps its last value
  }
  return out;
}

constexpr Field kCursorFields[] = {{"epoch"}, {"sequence"}};
constexpr Field kExitFields[] = {{"code", false}, {"signal", false}};
constexpr Field kPtyEntryFields[] = {{"id"}, {"cursor"}, {"exited", false}};

std::expected<Cursor, std::string> decode_cursor(const Value& v) {
  Cursor c;
  auto r = json::decode_record(
      v, {kCursorFields, "struct Cursor", "struct Cursor with 2 elements"},
      [&](std::size_t f, const Value& x) -> Status {
        return assign(f == 0 ? c.epoch : c.sequence, json::to_integer<std::uint64_t>(x));
      });
  if (!r) return std::unexpected(std::move(r.error()));
  return c;
}

std::expected<Exit, std::string> decode_exit(const Value& v) {
  Exit e;
  auto r = json::decode_record(v, {kExitFields, "struct Exit", "struct Exit with 2 elements"},
                               [&](std::size_t f, const Value& x) -> Status {
                                 return assign(f == 0 ? e.code : e.signal, optional_i32(x));
                               });
  if (!r) return std::unexpected(std::move(r.error()));
  return e;
}

std::expected<PtyEntry, std::string> decode_pty_entry(const Value& v) {
  PtyEntry p;
  auto r = json::decode_record(
      v, {kPtyEntryFields, "struct PtyEntry", "struct PtyEntry with 3 elements"},
      [&](std::size_t f, const Value& x) -> Status {
        switch (f) {
          case 0: return assign(p.id, json::to_pty_id(x));
          case 1: return assign(p.cursor, decode_cursor(x));
          default: return assign(p.exited, json::to_optional(x, decode_exit));
        }
      });
  if (!r) return std::unexpected(std::move(r.error()));
  return p;
}

// The fields of every kind, in declaration order, and their decoding.
struct KindShape {
  std::span<const Field> fields;
  std::string_view array_expecting;
};

constexpr Field kHelloFields[] = {{"versions"}};
constexpr Field kWelcomeFields[] = {{"version"}};
constexpr Field kAttachFields[] = {{"id"},          {"cols"},         {"rows"},
                                   {"resume", false}, {"drive", false}, {"cwd", false},
                                   {"argv", false},   {"env", false}};
constexpr Field kIdFields[] = {{"id"}};
constexpr Field kResizeFields[] = {{"id"}, {"cols"}, {"rows"}, {"drive", false}};
constexpr Field kListedFields[] = {{"entries"}};
constexpr Field kOutputFields[] = {{"id"}, {"epoch"}, {"sequence"}};
constexpr Field kExitedFields[] = {
    {"id"}, {"epoch"}, {"sequence"}, {"code", false}, {"signal", false}};
constexpr Field kErrorFields[] = {{"id", false}, {"message"}};

constexpr std::array<KindShape, 14> kShapes = {{
    {kHelloFields, "struct variant Message::Hello with 1 element"},
    {kWelcomeFields, "struct variant Message::Welcome with 1 element"},
    {kAttachFields, "struct variant Message::Attach with 8 elements"},
    {kIdFields, "struct variant Message::Detach with 1 element"},
    {kIdFields, "struct variant Message::Write with 1 element"},
    {kResizeFields, "struct variant Message::Resize with 4 elements"},
    {kIdFields, "struct variant Message::Close with 1 element"},
    {{}, "struct variant Message::List with 0 elements"},
    {kListedFields, "struct variant Message::Listed with 1 element"},
    {kIdFields, "struct variant Message::Pause with 1 element"},
    {kIdFields, "struct variant Message::Resume with 1 element"},
    {kOutputFields, "struct variant Message::Output with 3 elements"},
    {kExitedFields, "struct variant Message::Exited with 5 elements"},
    {kErrorFields, "struct variant Message::Error with 2 elements"},
}};

// The sink that fills kind T from its fields by index.
template <class T>
Status fill(T& m, std::size_t f, const Value& x) {
  if constexpr (std::is_same_v<T, Hello>) {
    return assign(m.versions, sequence_of<std::uint32_t>(x, json::to_integer<std::uint32_t>));
  } else if constexpr (std::is_same_v<T, Welcome>) {
    return assign(m.version, json::to_integer<std::uint32_t>(x));
  } else if constexpr (std::is_same_v<T, Attach>) {
    switch (f) {
      case 0: return assign(m.id, json::to_pty_id(x));
      case 1: return assign(m.cols, json::to_integer<std::uint16_t>(x));
      case 2: return assign(m.rows, json::to_integer<std::uint16_t>(x));
      case 3: return assign(m.resume, json::to_optional(x, decode_cursor));
      case 4: return assign(m.drive, json::to_bool(x));
      case 5: return assign(m.cwd, json::to_optional(x, json::to_string));
      case 6: return assign(m.argv, sequence_of<std::string>(x, json::to_string));
      default: return assign(m.env, string_map(x));
    }
  } else if constexpr (std::is_same_v<T, Resize>) {
    switch (f) {
      case 0: return assign(m.id, json::to_pty_id(x));
      case 1: return assign(m.cols, json::to_integer<std::uint16_t>(x));
      case 2: return assign(m.rows, json::to_integer<std::uint16_t>(x));
      default: return assign(m.drive, json::to_bool(x));
    }
  } else if constexpr (std::is_same_v<T, List>) {
    return {};
  } else if constexpr (std::is_same_v<T, Listed>) {
    return assign(m.entries, sequence_of<PtyEntry>(x, decode_pty_entry));
  } else if constexpr (std::is_same_v<T, Output>) {
    switch (f) {
      case 0: return assign(m.id, json::to_pty_id(x));
      case 1: return assign(m.epoch, json::to_integer<std::uint64_t>(x));
      default: return assign(m.sequence, json::to_integer<std::uint64_t>(x));
    }
  } else if constexpr (std::is_same_v<T, Exited>) {
    switch (f) {
      case 0: return assign(m.id, json::to_pty_id(x));
      case 1: return assign(m.epoch, json::to_integer<std::uint64_t>(x));
      case 2: return assign(m.sequence, json::to_integer<std::uint64_t>(x));
      case 3: return assign(m.code, optional_i32(x));
      default: return assign(m.signal, optional_i32(x));
    }
  } else if constexpr (std::is_same_v<T, Error>) {
    if (f == 0) return assign(m.id, json::to_optional(x, json::to_pty_id));
    return assign(m.message, json::to_string(x));
  } else {
    // Detach, Write, Close, Pause, Resume: the id alone.
    return assign(m.id, json::to_pty_id(x));
  }
}

// Steps 3 and 4: the kept members, interpreted for the kind.
template <std::size_t I>
std::expected<Message, std::string> decode_as(const Value& root) {
  using T = std::variant_alternative_t<I, Message::Variant>;
  T m{};
  json::Record record{kShapes[I].fields, "", kShapes[I].array_expecting};
  auto r = json::decode_record(
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
  for (std::size_t k = 0; k < kTags.size(); ++k) {
    if (k) out += ", ";
    out += '`';
    out += kTags[k];
    out += '`';
  }
  return out;
}

// The kind a tag value names, or the failure text with its position.
std::expected<std::size_t, std::string> kind_of_tag(const Value& tag, std::string_view text) {
  if (tag.kind == Kind::array || tag.kind == Kind::object)
    // Refused as soon as it opens, whatever follows inside it.
    return std::unexpected(
        json::with_position(json::invalid_type(tag, "variant identifier"), text, tag.begin));
  if (tag.kind != Kind::string)
    return std::unexpected(
        json::with_position(json::invalid_type(tag, "variant identifier"), text, tag.end));
  for (std::size_t k = 0; k < kTags.size(); ++k)
    if (kTags[k] == tag.string) return k;
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
  for (const json::Member& m : root.members) {
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

// ---- Encoding helpers ----------------------------------------------------

boost::json::value optional_i32_value(const std::optional<std::int32_t>& v) {
  if (!v) return nullptr;
  return static_cast<std::int64_t>(*v);
}

boost::json::value id_value(const PtyId& id) { return boost::json::string(id.text); }

// ---- Debug helpers -------------------------------------------------------

class Debug {
 public:
  explicit Debug(std::string_view name) : out_(name) { out_ += " { "; }
  Debug& field(std::string_view name, const std::string& value) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
    out_ += value;
    return *this;
  }
  std::string done() { return std::move(out_) + " }"; }

 private:
  std::string out_;
  bool first_ = true;
};

std::string num(std::uint64_t v) { return std::to_string(v); }
std::string num(std::int64_t v) { return std::to_string(v); }
std::string boolean(bool b) { return b ? "true" : "false"; }

template <class T, class F>
std::string optional_debug(const std::optional<T>& v, F&& show) {
  return v ? "Some(" + show(*v) + ")" : std::string("None");
}

std::string optional_i32_debug(const std::optional<std::int32_t>& v) {
  return optional_debug(v, [](std::int32_t x) { return num(std::int64_t{x}); });
}

template <class T, class F>
std::string list_debug(const std::vector<T>& v, F&& show) {
  std::string out = "[";
  for (std::size_t k = 0; k < v.size(); ++k) {
    if (k) out += ", ";
    out += show(v[k]);
  }
  return out + "]";
}

}  // namespace

// ---- Records ---------------------------------------------------------------

boost::json::value serialize(const Cursor& c) {
  return boost::json::object{{"epoch", c.epoch}, {"sequence", c.sequence}};
}

boost::json::value serialize(const Exit& e) {
  return boost::json::object{{"code", optional_i32_value(e.code)},
                             {"signal", optional_i32_value(e.signal)}};
}

boost::json::value serialize(const PtyEntry& e) {
  return boost::json::object{{"id", id_value(e.id)},
                             {"cursor", serialize(e.cursor)},
                             {"exited", e.exited ? serialize(*e.exited) : nullptr}};
}

std::string debug(const PtyId& id) { return "PtyId(" + json::quoted(id.text) + ")"; }

std::string debug(const Cursor& c) {
  return Debug("Cursor").field("epoch", num(c.epoch)).field("sequence", num(c.sequence)).done();
}

std::string debug(const Exit& e) {
  return Debug("Exit")
      .field("code", optional_i32_debug(e.code))
      .field("signal", optional_i32_debug(e.signal))
      .done();
}

std::string debug(const PtyEntry& e) {
  return Debug("PtyEntry")
      .field("id", debug(e.id))
      .field("cursor", debug(e.cursor))
      .field("exited", optional_debug(e.exited, [](const Exit& x) { return debug(x); }))
      .done();
}

// ---- Message ---------------------------------------------------------------

std::string_view Message::name() const { return kNames[value.index()]; }
std::string_view Message::tag() const { return kTags[value.index()]; }

boost::json::value Message::serialize() const {
  boost::json::object o;
  o["type"] = boost::json::string(tag());
  std::visit(
      Overloaded{
          [&](const Hello& m) {
            boost::json::array a;
            for (std::uint32_t v : m.versions) a.emplace_back(std::uint64_t{v});
            o["versions"] = std::move(a);
          },
          [&](const Welcome& m) { o["version"] = std::uint64_t{m.version}; },
          [&](const Attach& m) {
            o["id"] = id_value(m.id);
            o["cols"] = std::uint64_t{m.cols};
            o["rows"] = std::uint64_t{m.rows};
            o["resume"] = m.resume ? message::serialize(*m.resume) : nullptr;
            o["drive"] = m.drive;
            if (m.cwd) o["cwd"] = boost::json::string(*m.cwd);
            if (!m.argv.empty()) {
              boost::json::array a;
              for (const std::string& s : m.argv) a.emplace_back(boost::json::string(s));
              o["argv"] = std::move(a);
            }
            if (!m.env.empty()) {
              boost::json::object env;
              for (const auto& [k, v] : m.env) env[k] = boost::json::string(v);
              o["env"] = std::move(env);
            }
          },
          [&](const Resize& m) {
            o["id"] = id_value(m.id);
            o["cols"] = std::uint64_t{m.cols};
            o["rows"] = std::uint64_t{m.rows};
            o["drive"] = m.drive;
          },
          [&](const List&) {},
          [&](const Listed& m) {
            boost::json::array a;
            for (const PtyEntry& e : m.entries) a.push_back(message::serialize(e));
            o["entries"] = std::move(a);
          },
          [&](const Output& m) {
            o["id"] = id_value(m.id);
            o["epoch"] = m.epoch;
            o["sequence"] = m.sequence;
          },
          [&](const Exited& m) {
            o["id"] = id_value(m.id);
            o["epoch"] = m.epoch;
            o["sequence"] = m.sequence;
            o["code"] = optional_i32_value(m.code);
            o["signal"] = optional_i32_value(m.signal);
          },
          [&](const Error& m) {
            o["id"] = m.id ? id_value(*m.id) : nullptr;
            o["message"] = boost::json::string(m.message);
          },
          // Detach, Write, Close, Pause, Resume.
          [&](const auto& m) { o["id"] = id_value(m.id); },
      },
      value);
  return o;
}

std::expected<Message, DecodeError> Message::deserialize(std::span<const std::uint8_t> json) {
  return deserialize(
      std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
}

std::expected<Message, DecodeError> Message::deserialize(std::string_view text) {
  json::Parsed parsed = json::parse(text);
  const Value& root = parsed.root;

  if (!root.complete) {
    // A syntax error cut the value short; a tag failure before it still
    // comes first.
    if (root.kind == Kind::object || root.kind == Kind::array) {
      auto tag = find_tag(root, text);
      if (!tag) return std::unexpected(failure(std::move(tag.error())));
    }
    return std::unexpected(failure(parsed.error->text()));
  }

  if (root.kind != Kind::object && root.kind != Kind::array)
    return std::unexpected(failure(json::with_position(
        json::invalid_type(root, "internally tagged enum Message"), text, root.end)));
  auto tag = find_tag(root, text);
  if (!tag) return std::unexpected(failure(std::move(tag.error())));
  if (!*tag)
    return std::unexpected(
        failure(json::with_position(json::missing_field("type"), text, root.end)));

  auto message = decode_kind(**tag, root, std::make_index_sequence<kTags.size()>{});
  if (!message) return std::unexpected(failure(std::move(message.error())));
  // Only trailing characters can be wrong once the value itself was whole.
  if (parsed.error) return std::unexpected(failure(parsed.error->text()));
  return std::move(*message);
}

std::string Message::debug() const {
  return std::visit(
      Overloaded{
          [](const Hello& m) {
            return Debug("Hello")
                .field("versions",
                       list_debug(m.versions, [](std::uint32_t v) { return num(std::uint64_t{v}); }))
                .done();
          },
          [](const Welcome& m) {
            return Debug("Welcome").field("version", num(std::uint64_t{m.version})).done();
          },
          [](const Attach& m) {
            std::string env = "{";
            bool first = true;
            for (const auto& [k, v] : m.env) {
              if (!first) env += ", ";
              first = false;
              env += json::quoted(k) + ": " + json::quoted(v);
            }
            env += "}";
            return Debug("Attach")
                .field("id", message::debug(m.id))
                .field("cols", num(std::uint64_t{m.cols}))
                .field("rows", num(std::uint64_t{m.rows}))
                .field("resume", optional_debug(m.resume, [](const Cursor& c) {
                         return message::debug(c);
                       }))
                .field("drive", boolean(m.drive))
                .field("cwd", optional_debug(m.cwd, json::quoted))
                .field("argv", list_debug(m.argv, json::quoted))
                .field("env", env)
                .done();
          },
          [](const Resize& m) {
            return Debug("Resize")
                .field("id", message::debug(m.id))
                .field("cols", num(std::uint64_t{m.cols}))
                .field("rows", num(std::uint64_t{m.rows}))
                .field("drive", boolean(m.drive))
                .done();
          },
          [](const List&) { return std::string("List"); },
          [](const Listed& m) {
            return Debug("Listed")
                .field("entries",
                       list_debug(m.entries, [](const PtyEntry& e) { return message::debug(e); }))
                .done();
          },
          [](const Output& m) {
            return Debug("Output")
                .field("id", message::debug(m.id))
                .field("epoch", num(m.epoch))
                .field("sequence", num(m.sequence))
                .done();
          },
          [](const Exited& m) {
            return Debug("Exited")
                .field("id", message::debug(m.id))
                .field("epoch", num(m.epoch))
                .field("sequence", num(m.sequence))
                .field("code", optional_i32_debug(m.code))
                .field("signal", optional_i32_debug(m.signal))
                .done();
          },
          [](const Error& m) {
            return Debug("Error")
                .field("id", optional_debug(m.id, [](const PtyId& id) {
                         return message::debug(id);
                       }))
                .field("message", json::quoted(m.message))
                .done();
          },
          // Detach, Write, Close, Pause, Resume.
          [this](const auto& m) {
            return Debug(name()).field("id", message::debug(m.id)).done();
          },
      },
      value);
}

}  // namespace quern_protocol::message
