#include "quern_protocol/message.hpp"

#include <array>
#include <utility>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include "quern_protocol/json.hpp"
#include "quern_protocol/json_decoder.hpp"
#include "quern_protocol/json_failure_text.hpp"
#include "quern_protocol/json_locate.hpp"
#include "quern_protocol/json_syntax_error.hpp"
#include "quern_protocol/utf8.hpp"

namespace quern_protocol::message {

namespace {

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

// ---- Decoding ----------------------------------------------------------------

using json::Field;
using json::Shape;
using json::Slot;

constexpr Field kCursorFields[] = {{"epoch"}, {"sequence"}};
constexpr Field kExitFields[] = {{"code", false}, {"signal", false}};
constexpr Field kPtyEntryFields[] = {{"id"}, {"cursor"}, {"exited", false}};

Slot cursor_field(void* r, std::size_t f) {
  auto& c = *static_cast<Cursor*>(r);
  return Slot{Shape::u64, false, f == 0 ? &c.epoch : &c.sequence};
}
Slot exit_field(void* r, std::size_t f) {
  auto& e = *static_cast<Exit*>(r);
  return Slot{Shape::i32, true, f == 0 ? &e.code : &e.signal};
}

constexpr json::RecordType kCursor = json::record_type<Cursor>(
    kCursorFields, "struct Cursor", "struct Cursor with 2 elements", cursor_field);
constexpr json::RecordType kExit = json::record_type<Exit>(
    kExitFields, "struct Exit", "struct Exit with 2 elements", exit_field);

Slot pty_entry_field(void* r, std::size_t f) {
  auto& p = *static_cast<PtyEntry*>(r);
  switch (f) {
    case 0: return Slot{Shape::pty_id, false, &p.id};
    case 1: return Slot{Shape::record, false, &p.cursor, &kCursor};
    default: return Slot{Shape::record, true, &p.exited, &kExit};
  }
}

constexpr json::RecordType kPtyEntry = json::record_type<PtyEntry>(
    kPtyEntryFields, "struct PtyEntry", "struct PtyEntry with 3 elements", pty_entry_field);

// Every member name of every kind. A name has one shape in all kinds that
// have it; "id" is kept as optional and refused as null where it is required.
enum Name : std::uint8_t {
  kVersions, kVersion, kId, kCols, kRows, kResume, kDrive, kCwd, kArgv, kEnv,
  kEntries, kEpoch, kSequence, kCode, kSignal, kMessage, kNameCount, kNoName = kNameCount,
};
constexpr std::array<std::string_view, kNameCount> kNameTexts = {
    "versions", "version", "id", "cols", "rows", "resume", "drive", "cwd",
    "argv", "env", "entries", "epoch", "sequence", "code", "signal", "message",
};

// The name a key is, picked by its length and first byte before one compare.
constexpr Name name_of(std::string_view key) {
  Name n = kNoName;
  if (key.empty()) return n;
  switch (key.size()) {
    case 2: n = kId; break;
    case 3: n = key[0] == 'c' ? kCwd : kEnv; break;
    case 4: n = key[0] == 'c' ? (key[1] == 'o' && key[2] == 'd' ? kCode : kCols)
              : key[0] == 'r' ? kRows : kArgv; break;
    case 5: n = key[0] == 'd' ? kDrive : kEpoch; break;
    case 6: n = key[0] == 'r' ? kResume : kSignal; break;
    case 7: n = key[0] == 'v' ? kVersion : key[0] == 'e' ? kEntries : kMessage; break;
    case 8: n = key[0] == 'v' ? kVersions : kSequence; break;
    default: return kNoName;
  }
  return kNameTexts[n] == key ? n : kNoName;
}
static_assert([] {
  for (std::size_t n = 0; n < kNameCount; ++n)
    if (name_of(kNameTexts[n]) != n) return false;
  return name_of("type") == kNoName && name_of("") == kNoName && name_of("x") == kNoName;
}());

// The fields of every kind's members, whatever kind the text turns out to be.
struct Members {
  std::vector<std::uint32_t> versions;
  std::uint32_t version = 0;
  std::optional<PtyId> id;
  // The fields of attach, which resize shares; its id is `id` above.
  Attach attach;
  std::vector<PtyEntry> entries;
  std::uint64_t epoch = 0;
  std::uint64_t sequence = 0;
  std::optional<std::int32_t> code;
  std::optional<std::int32_t> signal;
  std::string message;

  Slot slot(Name n) {
    switch (n) {
      case kVersions: return Slot{Shape::u32_sequence, false, &versions};
      case kVersion: return Slot{Shape::u32, false, &version};
      case kId: return Slot{Shape::pty_id, true, &id};
      case kCols: return Slot{Shape::u16, false, &attach.cols};
      case kRows: return Slot{Shape::u16, false, &attach.rows};
      case kResume: return Slot{Shape::record, true, &attach.resume, &kCursor};
      case kDrive: return Slot{Shape::boolean, false, &attach.drive};
      case kCwd: return Slot{Shape::string, true, &attach.cwd};
      case kArgv: return Slot{Shape::string_sequence, false, &attach.argv};
      case kEnv: return Slot{Shape::string_map, false, &attach.env};
      case kEntries: return Slot{Shape::record_sequence, false, &entries, &kPtyEntry};
      case kEpoch: return Slot{Shape::u64, false, &epoch};
      case kSequence: return Slot{Shape::u64, false, &sequence};
      case kCode: return Slot{Shape::i32, true, &code};
      case kSignal: return Slot{Shape::i32, true, &signal};
      default: return Slot{Shape::string, false, &message};
    }
  }
};

// The fields of every kind, in declaration order.
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
constexpr std::size_t kErrorKind = 13;

// For every kind, the bit of every name it has, and of those it requires.
constexpr std::array<std::uint32_t, 14> kNameBits = [] {
  std::array<std::uint32_t, 14> bits{};
  for (std::size_t k = 0; k < kShapes.size(); ++k)
    for (const Field& f : kShapes[k].fields) bits[k] |= std::uint32_t{1} << name_of(f.name);
  return bits;
}();
constexpr std::array<std::uint32_t, 14> kRequiredBits = [] {
  std::array<std::uint32_t, 14> bits{};
  for (std::size_t k = 0; k < kShapes.size(); ++k)
    for (const Field& f : kShapes[k].fields)
      if (f.required) bits[k] |= std::uint32_t{1} << name_of(f.name);
  return bits;
}();

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

// The kind a tag names, picked by its length and a byte before one compare.
constexpr std::optional<std::size_t> kind_of(std::string_view tag) {
  std::size_t k = 0;
  switch (tag.size()) {
    case 4: k = 7; break;                                  // list
    case 5: k = tag[0] == 'h' ? 0 : tag[0] == 'w' ? 4 : tag[0] == 'c' ? 6 : tag[0] == 'p' ? 9 : 13;
      break;                                               // hello write close pause error
    case 6:
      k = tag[0] == 'a' ? 2 : tag[0] == 'd' ? 3 : tag[0] == 'l' ? 8 : tag[0] == 'o' ? 11
        : tag[2] == 's' ? (tag[3] == 'i' ? 5 : 10) : 12;  // attach detach listed output resize resume exited
      break;
    case 7: k = 1; break;                                  // welcome
    default: return std::nullopt;
  }
  if (kTags[k] != tag) return std::nullopt;
  return k;
}
static_assert([] {
  for (std::size_t k = 0; k < kTags.size(); ++k)
    if (kind_of(kTags[k]) != k) return false;
  return !kind_of("lists") && !kind_of("") && !kind_of("Hello") && !kind_of("exiled");
}());

// Above this many bytes kept for members read before the tag, the pass stops
// keeping them and a second pass, knowing the kind, decodes the text again.
constexpr std::size_t kEarlyLimit = 1 << 20;

// The root of a message: the tag ("type", or the array's first element) names
// the kind; members read before it are decoded into `Members` and judged once
// the kind is known, in text order with those after it.
class MessageRoot final : public json::Root {
 public:
  explicit MessageRoot(std::optional<std::size_t> kind = std::nullopt) : kind_(kind) {}

  void scalar(const json::Scalar& v) override { scalar_ = json::unexpected(v); }

  void open(json::Kind container) override {
    opened_ = true;
    object_ = container == json::Kind::object;
    if (!kind_) limit = kEarlyLimit;
  }

  Slot member(std::string_view key) override {
    const std::size_t ordinal = count_++;
    current_ = Current::none;
    if (key == "type") {
      if (!tag_seen_) {
        tag_seen_ = true;
        tag_ordinal_ = ordinal;
        current_ = Current::tag;
        return Slot{Shape::tag, false, &tag_text_};
      }
      if (tag_valid_ && !duplicate_) duplicate_ = ordinal;
      return {};
    }
    const Name n = name_of(key);
    if (n == kNoName || tag_error_ || overflowed_) return {};
    if (tag_valid_ || (kind_ && !tag_seen_)) return field(n);
    // Before the tag: kept for later. A second occurrence is refused if the
    // kind has the name, before its value is looked at; later ones never count.
    if (early_seen_[n] == 2) return {};
    early_[early_count_++] = Early{n, early_seen_[n] == 1, kNoError};
    if (early_seen_[n]++ == 1) return {};
    current_ = Current::early;
    return members_.slot(n);
  }

  Slot element(std::size_t index) override {
    current_ = Current::none;
    if (index == 0) {
      tag_seen_ = true;
      current_ = Current::tag;
      return Slot{Shape::tag, false, &tag_text_};
    }
    if (!tag_valid_) return {};
    const auto& fields = kShapes[*kind_].fields;
    if (index - 1 >= fields.size()) return {};
    const Name n = name_of(fields[index - 1].name);
    current_ = Current::field;
    current_name_ = n;
    return members_.slot(n);
  }

  void done(json::Status status, bool container) override {
    switch (current_) {
      case Current::tag:
        tag_read_ = true;
        tag_container_ = container;
        if (!status) {
          tag_error_ = std::move(status.error());
        } else if (auto k = kind_of(tag_text_)) {
          kind_ = *k;
          tag_valid_ = true;
          limit = std::size_t(-1);
          // Members read before the tag now count as given.
          for (std::size_t e = 0; e < early_count_; ++e)
            if (!early_[e].repeat && has(early_[e].name)) given_ |= bit(early_[e].name);
        } else {
          tag_error_ = unknown_variant(tag_text_);
        }
        break;
      case Current::early:
        if (!status) {
          early_[early_count_ - 1].error = static_cast<std::uint8_t>(early_errors_.size());
          early_errors_.push_back(std::move(status.error()));
        }
        break;
      case Current::field:
        if (!status) late(std::move(status.error()));
        else if (current_name_ == kId && *kind_ != kErrorKind && !members_.id) late(null_id());
        break;
      case Current::none:
        break;
    }
    current_ = Current::none;
  }

  void close(std::size_t count) override {
    if (object_ || !tag_valid_) return;
    const auto& fields = kShapes[*kind_].fields;
    const std::size_t n = count - 1;
    for (std::size_t k = n; k < fields.size(); ++k)
      if (fields[k].required) return late(json::invalid_length(k, kShapes[*kind_].array_expecting));
    if (n > fields.size()) late(json::invalid_length(n, json::elements_in_sequence(fields.size())));
  }

  void overflow() override {
    overflowed_ = true;
    limit = std::size_t(-1);  // nothing more is kept before the tag
    members_ = Members{};     // given back; the second pass decodes again
  }

  bool opened() const { return opened_; }
  bool overflowed() const { return overflowed_; }
  std::optional<std::size_t> kind() const { return tag_valid_ ? kind_ : std::nullopt; }
  const std::string& scalar_text() const { return scalar_; }

  // Whether the tag failed, in a text without syntax errors.
  bool tag_failed() const { return tag_seen_ && tag_read_ && (tag_error_ || duplicate_); }

  // The failure of the tag with its position, considering only what lies
  // before `limit` (the offset of a syntax error), or none.
  std::optional<std::string> tag_failure(std::string_view text, std::size_t limit) const {
    if (!tag_failed()) return std::nullopt;
    std::size_t begin = 0;
    if (object_) {
      json::MemberAt at = json::member_at(text, tag_ordinal_);
      if (at.key_end > limit) return std::nullopt;
      begin = at.value_begin;
    } else {
      begin = json::first_element(text);
    }
    // A container is refused as soon as it opens, a scalar once read whole.
    if (tag_container_) return json::with_position(*tag_error_, text, begin);
    const std::size_t end = json::value_end(text, begin);
    if (end > limit) return std::nullopt;
    if (tag_error_) return json::with_position(*tag_error_, text, end);
    if (duplicate_) {
      std::size_t key_end = json::member_at(text, *duplicate_).key_end;
      if (key_end <= limit) return json::with_position(json::duplicate_field("type"), text, key_end);
    }
    return std::nullopt;
  }

  // The message, once the text and its tag are known to be sound.
  std::expected<Message, std::string> finish() {
    for (std::size_t e = 0; e < early_count_; ++e) {
      const Early& m = early_[e];
      if (!has(m.name)) continue;
      if (m.repeat) return std::unexpected(json::duplicate_field(kNameTexts[m.name]));
      if (m.error != kNoError) return std::unexpected(early_errors_[m.error]);
      if (m.name == kId && *kind_ != kErrorKind && !members_.id) return std::unexpected(null_id());
    }
    if (late_) return std::unexpected(*late_);
    if (object_ && (kRequiredBits[*kind_] & ~given_))
      for (const Field& f : kShapes[*kind_].fields)
        if (f.required && !(given_ & bit(name_of(f.name))))
          return std::unexpected(json::missing_field(f.name));
    return build();
  }

 private:
  enum class Current : std::uint8_t { none, tag, early, field };
  static constexpr std::uint8_t kNoError = 0xFF;
  struct Early {
    Name name;
    bool repeat;         // the name's second occurrence
    std::uint8_t error;  // index into early_errors_, or kNoError
  };

  static std::uint32_t bit(Name n) { return std::uint32_t{1} << n; }
  bool has(Name n) const { return kNameBits[*kind_] & bit(n); }
  static std::string null_id() { return json::invalid_type(json::Scalar{}, "a string"); }
  void late(std::string why) {
    if (!late_) late_ = std::move(why);
  }

  // A member after the tag: decoded when the kind has it.
  Slot field(Name n) {
    if (!has(n)) return {};
    if (given_ & bit(n)) {
      late(json::duplicate_field(kNameTexts[n]));
      return {};
    }
    given_ |= bit(n);
    if (late_) return {};
    current_ = Current::field;
    current_name_ = n;
    return members_.slot(n);
  }

  Message build() {
    Members& m = members_;
    if (*kind_ == kErrorKind) return Error{std::move(m.id), std::move(m.message)};
    PtyId id = m.id ? std::move(*m.id) : PtyId{};
    switch (*kind_) {
      case 0: return Hello{std::move(m.versions)};
      case 1: return Welcome{m.version};
      case 2: {
        Attach attach = std::move(m.attach);
        attach.id = std::move(id);
        return attach;
      }
      case 3: return Detach{std::move(id)};
      case 4: return Write{std::move(id)};
      case 5: return Resize{std::move(id), m.attach.cols, m.attach.rows, m.attach.drive};
      case 6: return Close{std::move(id)};
      case 7: return List{};
      case 8: return Listed{std::move(m.entries)};
      case 9: return Pause{std::move(id)};
      case 10: return Resume{std::move(id)};
      case 11: return Output{std::move(id), m.epoch, m.sequence};
      default: return Exited{std::move(id), m.epoch, m.sequence, m.code, m.signal};
    }
  }

  std::optional<std::size_t> kind_;  // preset on a second pass
  bool opened_ = false;
  bool object_ = false;
  std::string scalar_;
  std::size_t count_ = 0;
  Current current_ = Current::none;
  Name current_name_ = kNoName;

  bool tag_seen_ = false;
  bool tag_read_ = false;
  bool tag_container_ = false;
  bool tag_valid_ = false;
  std::size_t tag_ordinal_ = 0;
  std::string tag_text_;
  std::optional<std::string> tag_error_;
  std::optional<std::size_t> duplicate_;  // ordinal of a second "type"

  Members members_;
  std::uint32_t given_ = 0;
  std::array<Early, 2 * kNameCount> early_;
  std::size_t early_count_ = 0;
  std::vector<std::string> early_errors_;
  std::array<std::uint8_t, kNameCount> early_seen_{};
  bool overflowed_ = false;
  std::optional<std::string> late_;
};

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

// The opening of output's and exited's debug form: the session and the
// place in its output stream.
template <class M>
Debug stream_place_debug(std::string_view name, const M& m) {
  Debug d(name);
  d.field("id", message::debug(m.id)).field("epoch", num(m.epoch)).field("sequence", num(m.sequence));
  return d;
}

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

std::optional<PtyIdFault> pty_id_fault(std::string_view text) {
  if (text.size() > PTY_ID_MAX_BYTES) return PtyIdFault::too_long;
  if (!utf8::is_valid(text)) return PtyIdFault::not_utf8;
  return std::nullopt;
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

namespace {

// What the first reading of a text says before any message is made from it:
// a failure, or nothing yet (`syntax` then holds what is wrong after the
// value, if anything). Unless `word`, a failure comes without its text, and
// the text must be one JSON value.
std::optional<DecodeError> first_failure(std::string_view text, const MessageRoot& root,
                                         const json::Outcome& outcome, std::optional<json::SyntaxError>& syntax,
                                         bool word = true) {
  // Wording a failure can take passes over the whole text.
  if (!word) {
    if (!outcome.root_complete || !root.opened() || root.tag_failed() || !root.kind()) return failure({});
    return std::nullopt;
  }
  if (!outcome.well_formed) syntax = outcome.syntax_error(text);
  auto root_end = [&] { return json::value_end(text, json::skip_ws(text, 0)); };

  bool complete = outcome.root_complete;
  if (complete && syntax && root_end() > syntax->offset) complete = false;
  if (!complete) {
    // A syntax error cut the value short; a tag failure before it still
    // comes first.
    if (root.opened())
      if (auto tag = root.tag_failure(text, syntax->offset)) return failure(*tag);
    return failure(syntax->text());
  }

  if (!root.opened())
    return failure(json::with_position(
        "invalid type: " + root.scalar_text() + ", expected internally tagged enum Message", text, root_end()));
  if (auto tag = root.tag_failure(text, std::size_t(-1))) return failure(*tag);
  if (!root.kind()) return failure(json::with_position(json::missing_field("type"), text, root_end()));
  return std::nullopt;
}

// The message a whole reading made (the second one, when the first
// overflowed before the tag).
std::expected<Message, DecodeError> message_from(MessageRoot& root, const std::optional<json::SyntaxError>& syntax) {
  std::expected<Message, std::string> message = root.finish();
  if (!message) return std::unexpected(failure(std::move(message.error())));
  // Only trailing characters can be wrong once the value itself was whole.
  if (syntax) return std::unexpected(failure(syntax->text()));
  return std::move(*message);
}

}  // namespace

std::expected<Message, DecodeError> Message::deserialize(std::string_view text) {
  MessageRoot root;
  const json::Outcome outcome = json::decode(text, root);
  std::optional<json::SyntaxError> syntax;
  if (auto failed = first_failure(text, root, outcome, syntax)) return std::unexpected(std::move(*failed));
  if (root.overflowed()) {
    MessageRoot again(root.kind());
    json::decode(text, again);
    return message_from(again, syntax);
  }
  return message_from(root, syntax);
}

struct MessageDecoder::State {
  explicit State(std::string_view text) : text(text), pass(text, root) {}

  std::string_view text;
  MessageRoot root;
  json::Pass pass;
  // The second reading, when the first overflowed before the tag.
  std::optional<MessageRoot> again;
  std::optional<json::Pass> again_pass;
  std::optional<json::SyntaxError> syntax;
  bool read = false;
};

MessageDecoder::MessageDecoder(std::string_view text) : state_(std::make_unique<State>(text)) {}
MessageDecoder::~MessageDecoder() = default;

// Why a text is not a message is worded only when asked: the wording can
// take a pass over the whole text of its own.
bool MessageDecoder::step(std::size_t budget) {
  State& s = *state_;
  if (s.read) return true;
  if (s.again_pass) return s.read = s.again_pass->step(budget);
  if (!s.pass.step(budget)) return false;
  if (!s.root.overflowed()) return s.read = true;
  // Read again even when the text has already failed: which failure comes
  // first is only known once the failure is worded.
  s.again.emplace(s.root.kind());
  s.again_pass.emplace(s.text, *s.again);
  return false;
}

std::expected<Message, DecodeError> MessageDecoder::result(bool word) {
  State& s = *state_;
  while (!step(std::size_t(-1))) {
  }
  if (auto failed = first_failure(s.text, s.root, s.pass.outcome(), s.syntax, word))
    return std::unexpected(std::move(*failed));
  return message_from(s.again ? *s.again : s.root, s.syntax);
}

std::expected<Message, DecodeError> MessageDecoder::finish() { return result(true); }

std::optional<Message> MessageDecoder::message() {
  while (!step(std::size_t(-1))) {
  }
  // A text that is not one JSON value is no message, whatever else is wrong.
  if (!state_->pass.outcome().well_formed) return std::nullopt;
  auto m = result(false);
  if (!m) return std::nullopt;
  return std::move(*m);
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
          [](const Output& m) { return stream_place_debug("Output", m).done(); },
          [](const Exited& m) {
            return stream_place_debug("Exited", m)
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
