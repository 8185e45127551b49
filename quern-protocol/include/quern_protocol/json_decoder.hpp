// Decoding a JSON text in one pass of the SAX parser straight into typed
// destinations, without building a tree: each value goes to a slot that says
// what it must be and where it is kept. Values nobody keeps are checked and
// dropped. The first value that does not fit its slot is the failure; the
// rest of the text is still read, so that a syntax error after it is found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/system/error_code.hpp>

#include "quern_protocol/json.hpp"
#include "quern_protocol/json_syntax_error.hpp"
#include "quern_protocol/message.hpp"

namespace quern_protocol::json {

// What a slot holds. The destination's type follows from the shape, in a
// std::optional of it when the slot is optional (null then gives none):
enum class Shape : std::uint8_t {
  skip,             // nothing: the value is read and dropped
  u16,              // std::uint16_t (and so on for the integers)
  u32,
  u64,
  i32,
  i64,
  boolean,          // bool
  string,           // std::string
  pty_id,           // message::PtyId: a string of at most 256 bytes
  tag,              // std::string; any other value is no "variant identifier"
  u32_sequence,     // std::vector<std::uint32_t>
  string_sequence,  // std::vector<std::string>
  string_map,       // std::map<std::string, std::string>; a repeated name keeps its last value
  record,           // what `record` describes
  record_sequence,  // a vector of what `record` describes
};

struct RecordType;

struct Slot {
  Shape shape = Shape::skip;
  bool optional = false;
  void* dest = nullptr;
  const RecordType* record = nullptr;
};

// One field of a record, in declaration order. A required field refuses to be
// left out; an optional one keeps whatever default its record was made with.
struct Field {
  std::string_view name;
  bool required = true;
};

// A record: an object whose members named like a field go to that field in
// text order (others are dropped; a field given twice is refused before its
// second value is looked at; then the first required field not given is
// missing), or an array whose element i is field i (ending before a required
// field, or holding more elements than fields, is refused by its length).
struct RecordType {
  std::span<const Field> fields;  // at most 64
  std::string_view expecting;        // "struct Cursor"
  std::string_view array_expecting;  // "struct Cursor with 2 elements"
  // The slot of field `index` of the record at `record`.
  Slot (*field)(void* record, std::size_t index);
  // For optional slots: engages the std::optional at `optional` with a fresh
  // record and gives it, or empties it.
  void* (*emplace)(void* optional);
  void (*reset)(void* optional);
  // For sequences: appends a fresh record to the vector at `vector` and gives it.
  void* (*append)(void* vector);
  std::size_t size;  // bytes of one record, for the count of bytes kept
};

template <class T>
constexpr RecordType record_type(std::span<const Field> fields, std::string_view expecting,
                                 std::string_view array_expecting,
                                 Slot (*field)(void*, std::size_t)) {
  return RecordType{
      fields,
      expecting,
      array_expecting,
      field,
      [](void* o) -> void* { return &static_cast<std::optional<T>*>(o)->emplace(); },
      [](void* o) { static_cast<std::optional<T>*>(o)->reset(); },
      [](void* v) -> void* { return &static_cast<std::vector<T>*>(v)->emplace_back(); },
      sizeof(T),
  };
}

using Status = std::expected<void, std::string>;

// The receiver of a root object or array whose members are not a plain
// record (a message, whose kind is named by one of its members).
class Root {
 public:
  virtual ~Root() = default;
  // The whole text is this one scalar.
  virtual void scalar(const Scalar& v) = 0;
  // The root container opens (Kind::object or Kind::array).
  virtual void open(Kind container) = 0;
  // The slot for the value of the root object's next member, named `key`
  // (empty when the key is too long to be any field's name).
  virtual Slot member(std::string_view key) = 0;
  // The slot for the root array's element `index`.
  virtual Slot element(std::size_t index) = 0;
  // The value last given a slot other than skip was read whole, or failed
  // (`container`: it failed as it opened, being an array or an object).
  virtual void done(Status status, bool container) = 0;
  // The root container closed after `count` members or elements.
  virtual void close(std::size_t count) = 0;
  // Bytes kept passed `limit`: the value being read is dropped from there on.
  virtual void overflow() = 0;

  // Bytes kept so far in slots given by this root (a rough count, kept by
  // the decoder), and how many may be kept.
  std::size_t kept = 0;
  std::size_t limit = std::size_t(-1);
};

// How a pass over a text went.
struct Outcome {
  bool well_formed = false;         // one JSON value and nothing but white space after it
  std::optional<std::string> error;  // with a root slot: the first value that did not fit
  // For the wording of a syntax failure.
  boost::system::error_code ec;
  std::size_t used = 0;
  bool root_complete = false;  // the root value was read to its end

  SyntaxError syntax_error(std::string_view text) const {
    return json::syntax_error(text, ec, used);
  }
};

// One pass over `text` with its root value going to `root`.
Outcome decode(std::string_view text, const Slot& root);

// One pass over `text` with its root value going to `root`.
Outcome decode(std::string_view text, Root& root);

// A pass over `text` with its root value going to `root`, a bounded piece at
// a time: for a text too large to read in one go. The text and the root must
// outlive the pass. Its outcome is the one `decode` gives for the same text.
class Pass {
 public:
  Pass(std::string_view text, Root& root);
  ~Pass();
  Pass(const Pass&) = delete;
  Pass& operator=(const Pass&) = delete;

  // Reads at most `budget` more bytes of the text; true once the pass is over.
  bool step(std::size_t budget);
  // Once `step` has said the pass is over.
  const Outcome& outcome() const;

  struct Reading;

 private:
  std::unique_ptr<Reading> reading_;
};

}  // namespace quern_protocol::json
