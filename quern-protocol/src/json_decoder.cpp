#include "quern_protocol/json_decoder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <utility>

#include <boost/json/basic_parser_impl.hpp>

#include "quern_protocol/json_failure_text.hpp"

namespace quern_protocol::json {

namespace {

using boost::json::error_code;
using sv = boost::json::string_view;

// ---- Scalars into slots ----------------------------------------------------

template <class T>
constexpr std::string_view integer_name() {
  if constexpr (std::is_same_v<T, std::uint16_t>) return "u16";
  else if constexpr (std::is_same_v<T, std::uint32_t>) return "u32";
  else if constexpr (std::is_same_v<T, std::uint64_t>) return "u64";
  else if constexpr (std::is_same_v<T, std::int32_t>) return "i32";
  else return "i64";
}

template <class T>
std::expected<T, std::string> to_integer(const Scalar& v) {
  constexpr std::string_view name = integer_name<T>();
  auto out_of_range = [&](const std::string& digits) {
    return std::unexpected("invalid value: integer `" + digits + "`, expected " + std::string(name));
  };
  switch (v.kind) {
    case Kind::int64:
      if (std::in_range<T>(v.int64)) return static_cast<T>(v.int64);
      return out_of_range(std::to_string(v.int64));
    case Kind::uint64:
      if (std::in_range<T>(v.uint64)) return static_cast<T>(v.uint64);
      return out_of_range(std::to_string(v.uint64));
    case Kind::big_integer: return out_of_range(std::string(v.text));
    default: return std::unexpected(invalid_type(v, name));
  }
}

std::string_view expected_of(const Slot& s) {
  switch (s.shape) {
    case Shape::u16: return "u16";
    case Shape::u32: return "u32";
    case Shape::u64: return "u64";
    case Shape::i32: return "i32";
    case Shape::i64: return "i64";
    case Shape::boolean: return "a boolean";
    case Shape::string:
    case Shape::pty_id: return "a string";
    case Shape::tag: return "variant identifier";
    case Shape::u32_sequence:
    case Shape::string_sequence:
    case Shape::record_sequence: return "a sequence";
    case Shape::string_map: return "a map";
    case Shape::record: return s.record->expecting;
    case Shape::skip: break;
  }
  return {};
}

template <class T>
Status put(const Slot& s, T&& value) {
  using V = std::remove_cvref_t<T>;
  if (s.optional) static_cast<std::optional<V>*>(s.dest)->emplace(std::forward<T>(value));
  else *static_cast<V*>(s.dest) = std::forward<T>(value);
  return {};
}

template <class T>
Status put_integer(const Slot& s, const Scalar& v) {
  auto n = to_integer<T>(v);
  if (!n) return std::unexpected(std::move(n.error()));
  return put(s, *n);
}

template <class T>
void reset(const Slot& s) {
  static_cast<std::optional<T>*>(s.dest)->reset();
}

void reset_optional(const Slot& s) {
  switch (s.shape) {
    case Shape::u16: return reset<std::uint16_t>(s);
    case Shape::u32: return reset<std::uint32_t>(s);
    case Shape::u64: return reset<std::uint64_t>(s);
    case Shape::i32: return reset<std::int32_t>(s);
    case Shape::i64: return reset<std::int64_t>(s);
    case Shape::boolean: return reset<bool>(s);
    case Shape::string: return reset<std::string>(s);
    case Shape::pty_id: return reset<message::PtyId>(s);
    case Shape::record: return s.record->reset(s.dest);
    default: return;  // no other shape is ever optional
  }
}

Status store(const Slot& s, const Scalar& v) {
  if (s.optional && v.kind == Kind::null) {
    reset_optional(s);
    return {};
  }
  switch (s.shape) {
    case Shape::u16: return put_integer<std::uint16_t>(s, v);
    case Shape::u32: return put_integer<std::uint32_t>(s, v);
    case Shape::u64: return put_integer<std::uint64_t>(s, v);
    case Shape::i32: return put_integer<std::int32_t>(s, v);
    case Shape::i64: return put_integer<std::int64_t>(s, v);
    case Shape::boolean:
      if (v.kind == Kind::boolean) return put(s, v.boolean);
      break;
    case Shape::string:
    case Shape::tag:
      if (v.kind == Kind::string) return put(s, std::string(v.text));
      break;
    case Shape::pty_id:
      if (v.kind != Kind::string) break;
      if (v.text.size() > message::PTY_ID_MAX_BYTES)
        return std::unexpected(invalid_length(v.text.size(), "a PTY id of at most 256 bytes"));
      return put(s, message::PtyId{std::string(v.text)});
    default: break;
  }
  return std::unexpected(invalid_type(v, expected_of(s)));
}

// ---- The pass --------------------------------------------------------------

enum class FrameKind : std::uint8_t {
  record_object,
  record_array,
  u32_sequence,
  string_sequence,
  string_map,
  record_sequence,
};

// A container being decoded into a slot.
struct Frame {
  FrameKind kind;
  const RecordType* record;
  void* dest;           // the record, the vector or the map
  std::uint64_t given;  // fields of a record object given so far
  std::size_t count;    // elements of an array so far
};

// The deepest nesting of typed containers any schema has, with room to spare.
constexpr std::size_t max_frames = 8;
// Keys longer than this are no field's name.
constexpr std::size_t max_key = 32;

// Bytes counted as kept for one element of a sequence or map, beside its text.
constexpr std::size_t element_cost = sizeof(std::string);

class Handler {
 public:
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);

  Handler(std::string_view text, const Slot* root_slot, Root* root)
      : begin_(text.data()), end_(text.data() + text.size()), root_slot_(root_slot), root_(root) {}

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) { return begin(Kind::object); }
  bool on_object_end(std::size_t, error_code&) { return end(); }
  bool on_array_begin(error_code&) { return begin(Kind::array); }
  bool on_array_end(std::size_t, error_code&) { return end(); }

  bool on_string_part(sv s, std::size_t, error_code&) {
    if (skip_ == 0 && target().shape != Shape::skip) {
      text_.append(s.data(), s.size());
      in_parts_ = true;
    }
    return true;
  }
  bool on_string(sv s, std::size_t, error_code&) {
    if (skip_ == 0) {
      Scalar v;
      v.kind = Kind::string;
      if (in_parts_) {
        text_.append(s.data(), s.size());
        v.text = text_;
      } else {
        v.text = std::string_view(s.data(), s.size());
      }
      scalar(v);
    }
    text_.clear();
    in_parts_ = false;
    return true;
  }

  bool on_key_part(sv s, std::size_t, error_code&) {
    if (skip_ == 0) append_key(s);
    return true;
  }
  bool on_key(sv s, std::size_t, error_code&) {
    if (skip_ == 0) {
      if (key_parts_) {
        append_key(s);
        key(key_long_ ? std::string_view() : key_view());
      } else if (in_map()) {
        map_key_.assign(s.data(), s.size());
        key(map_key_);
      } else {
        key(s.size() > max_key ? std::string_view() : std::string_view(s.data(), s.size()));
      }
    }
    key_len_ = 0;
    key_long_ = false;
    key_parts_ = false;
    return true;
  }

  bool on_number_part(sv s, error_code&) {
    number_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t i, sv s, error_code&) {
    Scalar v;
    v.kind = Kind::int64;
    v.int64 = i;
    return integer(v, s);
  }
  bool on_uint64(std::uint64_t u, sv s, error_code&) {
    Scalar v;
    v.kind = Kind::uint64;
    v.uint64 = u;
    return integer(v, s);
  }
  bool on_double(double, sv s, error_code& ec) {
    std::string_view digits(s.data(), s.size());
    if (!number_.empty()) {
      number_.append(s.data(), s.size());
      digits = number_;
    }
    // Infinity is no JSON value: stop, the checker words the failure.
    auto d = double_of(digits);
    if (!d) {
      ec = boost::json::error::exponent_overflow;
      return false;
    }
    if (skip_ == 0) {
      Scalar v;
      if (is_integer_text(digits)) {
        v.kind = Kind::big_integer;
        v.text = digits;
      } else {
        v.kind = Kind::float64;
        v.float64 = *d;
      }
      scalar(v);
    }
    number_.clear();
    return true;
  }
  bool on_bool(bool b, error_code&) {
    if (skip_ == 0) {
      Scalar v;
      v.kind = Kind::boolean;
      v.boolean = b;
      scalar(v);
    }
    return true;
  }
  bool on_null(error_code&) {
    if (skip_ == 0) scalar(Scalar{});
    return true;
  }
  bool on_comment_part(sv, error_code&) { return true; }
  bool on_comment(sv, error_code&) { return true; }

  const std::optional<std::string>& error() const { return error_; }
  bool root_complete() const { return root_complete_; }

 private:
  bool at_top() const { return frames_len_ == 0 && !root_open_; }
  Frame* top() { return frames_len_ ? &frames_[frames_len_ - 1] : nullptr; }
  bool in_map() {
    Frame* f = top();
    return f && f->kind == FrameKind::string_map;
  }

  // The slot of the value about to be read; decided once per value.
  Slot& target() {
    if (!target_set_) {
      target_ = next_slot();
      target_set_ = true;
    }
    return target_;
  }
  Slot take_target() {
    Slot s = target();
    target_set_ = false;
    return s;
  }

  void count_kept(std::size_t bytes) {
    if (root_) root_->kept += bytes;
  }

  Slot next_slot() {
    if (Frame* f = top()) {
      switch (f->kind) {
        case FrameKind::record_array: {
          std::size_t k = f->count++;
          return k < f->record->fields.size() ? f->record->field(f->dest, k) : Slot{};
        }
        case FrameKind::u32_sequence: {
          ++f->count;
          count_kept(sizeof(std::uint32_t));
          auto& v = *static_cast<std::vector<std::uint32_t>*>(f->dest);
          return Slot{Shape::u32, false, &v.emplace_back()};
        }
        case FrameKind::string_sequence: {
          ++f->count;
          count_kept(element_cost);
          auto& v = *static_cast<std::vector<std::string>*>(f->dest);
          return Slot{Shape::string, false, &v.emplace_back()};
        }
        case FrameKind::record_sequence:
          ++f->count;
          count_kept(f->record->size);
          return Slot{Shape::record, false, f->record->append(f->dest), f->record};
        default:
          return Slot{};  // objects name the slot at each key
      }
    }
    if (root_open_) return root_->element(root_count_++);
    // The root value itself; a root receiver takes a scalar root whole.
    return root_ ? Slot{Shape::string} : *root_slot_;
  }

  void append_key(sv s) {
    key_parts_ = true;
    if (in_map()) {
      if (key_len_ == 0 && map_key_.size()) map_key_.clear();
      map_key_.append(s.data(), s.size());
      key_len_ = map_key_.size();
      return;
    }
    if (key_long_ || key_len_ + s.size() > max_key) {
      key_long_ = true;
      return;
    }
    std::memcpy(key_buf_.data() + key_len_, s.data(), s.size());
    key_len_ += s.size();
  }
  std::string_view key_view() {
    if (in_map()) return map_key_;
    return std::string_view(key_buf_.data(), key_len_);
  }

  void key(std::string_view k) {
    Slot slot;
    if (Frame* f = top()) {
      if (f->kind == FrameKind::record_object) {
        const auto& fields = f->record->fields;
        auto it = std::find_if(fields.begin(), fields.end(),
                               [&](const Field& x) { return x.name == k; });
        if (it != fields.end()) {
          auto index = static_cast<std::size_t>(it - fields.begin());
          std::uint64_t bit = std::uint64_t{1} << index;
          if (f->given & bit) return fail(duplicate_field(it->name), false);
          f->given |= bit;
          slot = f->record->field(f->dest, index);
        }
      } else if (f->kind == FrameKind::string_map) {
        auto& map = *static_cast<std::map<std::string, std::string>*>(f->dest);
        count_kept(k.size() + 2 * element_cost);
        auto [it, fresh] = map.try_emplace(std::string(k));
        slot = Slot{Shape::string, false, &it->second};
      }
    } else if (root_open_) {
      ++root_count_;
      slot = root_->member(k);
    }
    target_ = slot;
    target_set_ = true;
  }

  bool integer(const Scalar& v, sv s) {
    number_.clear();
    after_number(s);
    if (skip_ == 0) scalar(v);
    return true;
  }

  // The text a number was read from lies in the input (it is read in one
  // piece): what follows it bounds how many more elements a list can have.
  void after_number(sv s) {
    const char* past = s.data() + s.size();
    const bool in_text = std::less_equal<>{}(begin_, s.data()) && std::less_equal<>{}(past, end_);
    left_ = in_text ? static_cast<std::size_t>(end_ - past) : std::size_t(-1) / 4;
  }

  // The elements of long lists of numbers and texts, taken straight.
  bool append_fast(const Scalar& v) {
    Frame& f = frames_[frames_len_ - 1];
    if (f.kind == FrameKind::u32_sequence) {
      std::uint32_t n = 0;
      if (v.kind == Kind::int64 && std::in_range<std::uint32_t>(v.int64)) n = std::uint32_t(v.int64);
      else if (v.kind == Kind::uint64 && std::in_range<std::uint32_t>(v.uint64)) n = std::uint32_t(v.uint64);
      else return false;
      auto& v = *static_cast<std::vector<std::uint32_t>*>(f.dest);
      // Each further element takes at least two more bytes of text ("1,"):
      // room for as many as the rest of the text can hold is taken at once,
      // so the list never moves (memory not written to stays untouched, and
      // the list is shrunk when it closes far below that).
      if (v.size() == v.capacity()) v.reserve(v.size() + (left_ + 1) / 2 + 1);
      v.push_back(n);
      count_kept(sizeof n);
    } else if (f.kind == FrameKind::string_sequence && v.kind == Kind::string) {
      static_cast<std::vector<std::string>*>(f.dest)->emplace_back(v.text);
      count_kept(element_cost + v.text.size());
    } else {
      return false;
    }
    ++f.count;
    over_limit();
    return true;
  }

  void scalar(const Scalar& v) {
    if (!target_set_ && frames_len_ && append_fast(v)) return;
    if (at_top() && root_) {
      target_set_ = false;
      root_->scalar(v);
      root_complete_ = true;
      return;
    }
    Slot s = take_target();
    if (s.shape == Shape::skip) return;
    if (auto r = store(s, v); !r) return fail(std::move(r.error()), false);
    // A tag is read whole whatever its length: it decides what the rest is.
    if (v.kind == Kind::string && s.shape != Shape::tag) count_kept(v.text.size());
    if (!over_limit()) value_done();
  }

  bool begin(Kind k) {
    if (skip_) {
      ++skip_;
      return true;
    }
    if (at_top()) {
      if (root_) {
        root_open_ = true;
        root_->open(k);
        return true;
      }
    }
    Slot s = take_target();
    FrameKind kind{};
    void* dest = s.dest;
    switch (s.shape) {
      case Shape::skip:
        ++skip_;
        return true;
      case Shape::record:
        kind = k == Kind::object ? FrameKind::record_object : FrameKind::record_array;
        if (s.optional) dest = s.record->emplace(s.dest);
        break;
      case Shape::u32_sequence:
      case Shape::string_sequence:
      case Shape::record_sequence:
        if (k != Kind::array) return fail_open(s, k);
        kind = s.shape == Shape::u32_sequence      ? FrameKind::u32_sequence
               : s.shape == Shape::string_sequence ? FrameKind::string_sequence
                                                   : FrameKind::record_sequence;
        break;
      case Shape::string_map:
        if (k != Kind::object) return fail_open(s, k);
        kind = FrameKind::string_map;
        break;
      default:
        return fail_open(s, k);
    }
    if (frames_len_ == max_frames) return fail_open(s, k);  // no schema nests this deep
    frames_[frames_len_++] = Frame{kind, s.record, dest, 0, 0};
    over_limit();
    return true;
  }

  bool fail_open(const Slot& s, Kind k) {
    Scalar v;
    v.kind = k;
    fail(invalid_type(v, expected_of(s)), true);
    return true;
  }

  bool end() {
    if (skip_) {
      --skip_;
      return true;
    }
    if (Frame* f = top()) {
      Frame done = *f;
      --frames_len_;
      if (auto r = finish(done); !r) {
        fail(std::move(r.error()), false);
        return true;
      }
      value_done();
      return true;
    }
    if (root_open_) {
      root_open_ = false;
      root_complete_ = true;
      root_->close(root_count_);
    }
    return true;
  }

  static Status finish(const Frame& f) {
    if (f.kind == FrameKind::u32_sequence) {
      auto& v = *static_cast<std::vector<std::uint32_t>*>(f.dest);
      if (v.capacity() > 2 * v.size() + 16) v.shrink_to_fit();
    } else if (f.kind == FrameKind::record_object) {
      const auto& fields = f.record->fields;
      for (std::size_t k = 0; k < fields.size(); ++k)
        if (fields[k].required && !(f.given & (std::uint64_t{1} << k)))
          return std::unexpected(missing_field(fields[k].name));
    } else if (f.kind == FrameKind::record_array) {
      const auto& fields = f.record->fields;
      for (std::size_t k = f.count; k < fields.size(); ++k)
        if (fields[k].required)
          return std::unexpected(invalid_length(k, f.record->array_expecting));
      if (f.count > fields.size())
        return std::unexpected(invalid_length(f.count, elements_in_sequence(fields.size())));
    }
    return {};
  }

  // A value inside the root (or the root itself) was read whole.
  void value_done() {
    if (frames_len_ == 0 && root_) root_->done({}, false);
  }

  // The value being read does not fit: report it and drop the rest of the
  // root's value it belongs to (`opened`: the failing value is a container
  // that has just opened).
  void fail(std::string why, bool opened) {
    // An element or map entry is counted before its value is read: a refused
    // one can take the count past the limit too, and then the limit ends it.
    if (over_limit(opened)) return;
    bool at_root_level = frames_len_ == 0;
    drop_value(opened);
    if (root_) root_->done(std::unexpected(std::move(why)), opened && at_root_level);
    else if (!error_) error_ = std::move(why);
  }

  void drop_value(bool opened) {
    skip_ = frames_len_ + (opened ? 1 : 0);
    frames_len_ = 0;
    target_set_ = false;
  }

  // Past the root's limit of kept bytes, the value being read is dropped.
  bool over_limit(bool opened = false) {
    if (!root_ || root_->kept <= root_->limit) return false;
    drop_value(opened);
    root_->overflow();
    return true;
  }

  const char* begin_;      // of the input
  const char* end_;
  std::size_t left_ = 0;   // bytes of input after the last number read
  const Slot* root_slot_;
  Root* root_;
  bool root_open_ = false;
  bool root_complete_ = false;
  std::size_t root_count_ = 0;

  std::array<Frame, max_frames> frames_;  // the first frames_len_ are in use
  std::size_t frames_len_ = 0;
  std::size_t skip_ = 0;  // depth of containers being dropped
  Slot target_;
  bool target_set_ = false;
  std::optional<std::string> error_;

  std::string text_;  // a string read in parts
  bool in_parts_ = false;
  std::array<char, max_key> key_buf_{};
  std::size_t key_len_ = 0;
  bool key_long_ = false;
  bool key_parts_ = false;
  std::string map_key_;
  std::string number_;
};

boost::json::parse_options parse_options() {
  boost::json::parse_options options;
  options.max_depth = max_depth;
  return options;
}

}  // namespace

// The parser is handed the text a piece at a time, each piece a view of the
// one text, so that the handler's pointers into it stay valid throughout.
struct Pass::Reading {
  Reading(std::string_view text, const Slot* slot, Root* root)
      : text(text), parser(parse_options(), text, slot, root) {}

  bool step(std::size_t budget) {
    if (over) return true;
    const std::size_t left = text.size() - offset;
    const std::size_t n = std::min(budget, left);
    const bool last = n == left;
    const std::size_t used = parser.write_some(!last, text.data() + offset, n, out.ec);
    offset += used;
    // Short of the piece: the value ended before text that is not white space.
    over = out.ec || last || used < n;
    if (!over) return false;
    out.used = offset;
    out.well_formed = !out.ec && out.used == text.size();
    out.error = parser.handler().error();
    out.root_complete = parser.handler().root_complete();
    return true;
  }

  std::string_view text;
  boost::json::basic_parser<Handler> parser;
  std::size_t offset = 0;  // bytes of the text the parser has taken
  bool over = false;
  Outcome out;
};

Pass::Pass(std::string_view text, Root& root) : reading_(std::make_unique<Reading>(text, nullptr, &root)) {}
Pass::~Pass() = default;

bool Pass::step(std::size_t budget) { return reading_->step(std::max<std::size_t>(budget, 1)); }

const Outcome& Pass::outcome() const { return reading_->out; }

Outcome decode(std::string_view text, const Slot& root) {
  Pass::Reading reading(text, &root, nullptr);
  reading.step(text.size());
  return std::move(reading.out);
}

Outcome decode(std::string_view text, Root& root) {
  Pass::Reading reading(text, nullptr, &root);
  reading.step(text.size());
  return std::move(reading.out);
}

}  // namespace quern_protocol::json
