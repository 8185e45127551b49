// The protocol's messages, their records, their JSON form and their debug form.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/json/value.hpp>

namespace quern_protocol::message {

// A session's identifier: at most 256 bytes when decoded (not checked when built in code).
struct PtyId {
  std::string text;
  friend auto operator<=>(const PtyId&, const PtyId&) = default;
};

// The most bytes that a PtyId holds; a longer one is refused when decoded.
inline constexpr std::size_t PTY_ID_MAX_BYTES = 256;

// What keeps a text from travelling as a PtyId: more than PTY_ID_MAX_BYTES
// bytes, or bytes that are not UTF-8 (JSON text carries nothing else).
enum class PtyIdFault { too_long, not_utf8 };
// None when the text can be sent as a PtyId.
std::optional<PtyIdFault> pty_id_fault(std::string_view text);

struct Cursor {
  std::uint64_t epoch = 0;
  std::uint64_t sequence = 0;
  friend bool operator==(const Cursor&, const Cursor&) = default;
};

struct Exit {
  std::optional<std::int32_t> code;
  std::optional<std::int32_t> signal;
  friend bool operator==(const Exit&, const Exit&) = default;
};

struct PtyEntry {
  PtyId id;
  Cursor cursor;
  std::optional<Exit> exited;
  friend bool operator==(const PtyEntry&, const PtyEntry&) = default;
};

struct Hello {
  std::vector<std::uint32_t> versions;
  friend bool operator==(const Hello&, const Hello&) = default;
};
struct Welcome {
  std::uint32_t version = 0;
  friend bool operator==(const Welcome&, const Welcome&) = default;
};
struct Attach {
  PtyId id;
  std::uint16_t cols = 0;
  std::uint16_t rows = 0;
  std::optional<Cursor> resume;
  bool drive = false;
  std::optional<std::string> cwd;
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;
  friend bool operator==(const Attach&, const Attach&) = default;
};
struct Detach {
  PtyId id;
  friend bool operator==(const Detach&, const Detach&) = default;
};
struct Write {
  PtyId id;
  friend bool operator==(const Write&, const Write&) = default;
};
struct Resize {
  PtyId id;
  std::uint16_t cols = 0;
  std::uint16_t rows = 0;
  bool drive = false;
  friend bool operator==(const Resize&, const Resize&) = default;
};
struct Close {
  PtyId id;
  friend bool operator==(const Close&, const Close&) = default;
};
struct List {
  friend bool operator==(const List&, const List&) = default;
};
struct Listed {
  std::vector<PtyEntry> entries;
  friend bool operator==(const Listed&, const Listed&) = default;
};
struct Pause {
  PtyId id;
  friend bool operator==(const Pause&, const Pause&) = default;
};
struct Resume {
  PtyId id;
  friend bool operator==(const Resume&, const Resume&) = default;
};
struct Output {
  PtyId id;
  std::uint64_t epoch = 0;
  std::uint64_t sequence = 0;
  friend bool operator==(const Output&, const Output&) = default;
};
struct Exited {
  PtyId id;
  std::uint64_t epoch = 0;
  std::uint64_t sequence = 0;
  std::optional<std::int32_t> code;
  std::optional<std::int32_t> signal;
  friend bool operator==(const Exited&, const Exited&) = default;
};
struct Error {
  std::optional<PtyId> id;
  std::string message;
  friend bool operator==(const Error&, const Error&) = default;
};

// Why a JSON text is not a message (or not a record). `text` is the full
// failure text, position suffix included where it applies.
struct DecodeError {
  std::string text;
  const std::string& what() const { return text; }
};

struct Message {
  // The fourteen kinds, in declaration order.
  using Variant = std::variant<Hello, Welcome, Attach, Detach, Write, Resize, Close, List,
                               Listed, Pause, Resume, Output, Exited, Error>;
  Variant value;

  Message() = default;
  template <class T>
    requires std::is_constructible_v<Variant, T&&> &&
             (!std::is_same_v<std::remove_cvref_t<T>, Message>)
  Message(T&& v) : value(std::forward<T>(v)) {}

  template <class T>
  bool is() const { return std::holds_alternative<T>(value); }
  template <class T>
  const T* get() const { return std::get_if<T>(&value); }
  template <class T>
  T* get() { return std::get_if<T>(&value); }

  // The kind's name ("Hello") and tag ("hello").
  std::string_view name() const;
  std::string_view tag() const;

  // The JSON value of the message; keys are sorted only when written.
  boost::json::value serialize() const;
  // Decodes one JSON text; nothing but whitespace may follow the value.
  static std::expected<Message, DecodeError> deserialize(std::span<const std::uint8_t> json);
  static std::expected<Message, DecodeError> deserialize(std::string_view json);

  // The one-line debug form, e.g. `Welcome { version: 1 }`.
  std::string debug() const;

  friend bool operator==(const Message&, const Message&) = default;
};

// Decodes one message's JSON text a bounded piece at a time, for a text too
// large to read in one go; it ends as `Message::deserialize` of the whole
// text does. The text must outlive the decoder.
class MessageDecoder {
 public:
  explicit MessageDecoder(std::string_view text);
  ~MessageDecoder();
  MessageDecoder(const MessageDecoder&) = delete;
  MessageDecoder& operator=(const MessageDecoder&) = delete;

  // Reads at most `budget` more bytes of the text (twice over for a text
  // whose members before its tag pass the limit); true once it is read.
  bool step(std::size_t budget);
  // The message, or why the text is none; reads what is left first.
  std::expected<Message, DecodeError> finish();
  // The message, or none, without the work of wording why.
  std::optional<Message> message();

 private:
  std::expected<Message, DecodeError> result(bool word);

  struct State;
  std::unique_ptr<State> state_;
};

// Record encoders and debug forms, used by the message's own and by others.
boost::json::value serialize(const Cursor& c);
boost::json::value serialize(const Exit& e);
boost::json::value serialize(const PtyEntry& e);
std::string debug(const PtyId& id);
std::string debug(const Cursor& c);
std::string debug(const Exit& e);
std::string debug(const PtyEntry& e);

}  // namespace quern_protocol::message
