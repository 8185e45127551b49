#include "quern_protocol/json_syntax_error.hpp"

#include <algorithm>
#include <optional>

#include <boost/json/error.hpp>

#include "json_chars.hpp"
#include "quern_protocol/json.hpp"
#include "quern_protocol/utf8.hpp"

namespace quern_protocol::json {

namespace {

using boost::json::error_code;

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kNumberOutOfRange = "number out of range";
constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kRecursionLimit = "recursion limit exceeded";
constexpr std::string_view kTrailingCharacters = "trailing characters";

struct Failure {
  std::string_view reason;
  std::size_t offset;  // index of the offending byte, or the text's size at its end
};

// A strict recursive-descent check of the text that finds the first failure
// and words it. It runs only once the Boost parser has refused the text.
class Checker {
 public:
  explicit Checker(std::string_view t) : t_(t) {}

  std::optional<Failure> run() {
    if (value()) {
      ws();
      if (i_ < t_.size()) fail(kTrailingCharacters, i_);
    }
    return failure_;
  }

 private:
  bool fail(std::string_view reason, std::size_t at) {
    failure_ = Failure{reason, std::min(at, t_.size())};
    return false;
  }
  bool eof() const { return i_ >= t_.size(); }
  char peek() const { return t_[i_]; }
  void ws() {
    while (!eof() && is_ws(peek())) ++i_;
  }

  bool value() {
    ws();
    if (eof()) return fail(kEofValue, i_);
    switch (peek()) {
      case '"': return string();
      case '{': return object();
      case '[': return array();
      case 't': return ident("true");
      case 'f': return ident("false");
      case 'n': return ident("null");
      default:
        if (peek() == '-' || is_digit(peek())) return number();
        return fail(kExpectedValue, i_);
    }
  }

  bool ident(std::string_view word) {
    for (char c : word) {
      if (eof()) return fail(kEofValue, i_);
      if (peek() != c) return fail(kExpectedIdent, i_);
      ++i_;
    }
    return true;
  }

  bool number() {
    std::size_t start = i_;
    if (peek() == '-') ++i_;
    if (eof()) return fail(kEofValue, i_);
    char c = t_[i_++];
    if (c == '0') {
      if (!eof() && is_digit(peek())) return fail(kInvalidNumber, i_);
    } else if (is_digit(c)) {
      while (!eof() && is_digit(peek())) ++i_;
    } else {
      return fail(kInvalidNumber, i_ - 1);
    }
    if (!eof() && peek() == '.') {
      ++i_;
      if (eof()) return fail(kEofValue, i_);
      if (!is_digit(peek())) return fail(kInvalidNumber, i_);
      while (!eof() && is_digit(peek())) ++i_;
    }
    if (!eof() && (peek() == 'e' || peek() == 'E')) {
      ++i_;
      if (!eof() && (peek() == '+' || peek() == '-')) ++i_;
      if (eof()) return fail(kEofValue, i_);
      if (!is_digit(t_[i_++])) return fail(kInvalidNumber, i_ - 1);
      while (!eof() && is_digit(peek())) ++i_;
    }
    if (!double_of(t_.substr(start, i_ - start))) return fail(kNumberOutOfRange, i_ - 1);
    return true;
  }

  bool hex4(unsigned& out) {
    if (t_.size() - i_ < 4) return fail(kEofString, t_.size());
    out = 0;
    for (int k = 0; k < 4; ++k) {
      char c = t_[i_];
      unsigned d;
      if (is_digit(c)) d = unsigned(c - '0');
      else if (c >= 'a' && c <= 'f') d = unsigned(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') d = unsigned(c - 'A' + 10);
      else return fail(kInvalidEscape, i_);
      out = out * 16 + d;
      ++i_;
    }
    return true;
  }

  bool escape() {
    // i_ is just past the backslash.
    if (eof()) return fail(kEofString, i_);
    char c = t_[i_++];
    switch (c) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        return true;
      case 'u': break;
      default: return fail(kInvalidEscape, i_ - 1);
    }
    unsigned n1;
    if (!hex4(n1)) return false;
    if (n1 >= 0xDC00 && n1 <= 0xDFFF) return fail(kLoneSurrogate, i_ - 1);
    if (n1 < 0xD800 || n1 > 0xDBFF) return true;
    if (eof()) return fail(kEofString, i_);
    if (t_[i_++] != '\\') return fail(kEndOfHexEscape, i_ - 1);
    if (eof()) return fail(kEofString, i_);
    if (t_[i_++] != 'u') return fail(kEndOfHexEscape, i_ - 1);
    unsigned n2;
    if (!hex4(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail(kLoneSurrogate, i_ - 1);
    return true;
  }

  bool string() {
    ++i_;  // opening quote
    bool bad_utf8 = false;
    for (;;) {
      if (eof()) return fail(kEofString, i_);
      unsigned char c = static_cast<unsigned char>(peek());
      if (c == '"') {
        ++i_;
        // UTF-8 is judged once the string has ended.
        if (bad_utf8) return fail(kInvalidCodePoint, i_ - 1);
        return true;
      }
      if (c == '\\') {
        ++i_;
        if (!escape()) return false;
        continue;
      }
      if (c < 0x20) return fail(kControlCharacter, i_);
      if (c < 0x80) {
        ++i_;
        continue;
      }
      std::size_t n = utf8::sequence_at(t_, i_).length;
      if (n == 0) {
        bad_utf8 = true;
        n = 1;
      }
      i_ += n;
    }
  }

  bool enter() {
    if (++depth_ > max_depth) return fail(kRecursionLimit, i_);
    ++i_;  // the bracket
    return true;
  }

  bool object() {
    if (!enter()) return false;
    ws();
    if (eof()) return fail(kEofObject, i_);
    if (peek() == '}') return leave();
    if (peek() != '"') return fail(kKeyMustBeString, i_);
    for (;;) {
      if (!string()) return false;
      ws();
      if (eof()) return fail(kEofObject, i_);
      if (peek() != ':') return fail(kExpectedColon, i_);
      ++i_;
      if (!value()) return false;
      if (auto done = after_item('}', kEofObject, kExpectedObjectCommaOrEnd)) return *done;
      if (peek() != '"') return fail(kKeyMustBeString, i_);
    }
  }

  bool array() {
    if (!enter()) return false;
    ws();
    if (eof()) return fail(kEofList, i_);
    if (peek() == ']') return leave();
    for (;;) {
      if (!value()) return false;
      if (auto done = after_item(']', kEofList, kExpectedListCommaOrEnd)) return *done;
    }
  }

  // After a member or an element: the closing bracket ends the container
  // (true), a failure ends the check (false); none when a comma leads on to
  // a next item, which is not the closing bracket.
  std::optional<bool> after_item(char close, std::string_view eof_reason, std::string_view comma_reason) {
    ws();
    if (eof()) return fail(eof_reason, i_);
    if (peek() == close) return leave();
    if (peek() != ',') return fail(comma_reason, i_);
    ++i_;
    ws();
    if (eof()) return fail(kEofValue, i_);
    if (peek() == close) return fail(kTrailingComma, i_);
    return std::nullopt;
  }

  bool leave() {
    ++i_;
    --depth_;
    return true;
  }

  std::string_view t_;
  std::size_t i_ = 0;
  std::size_t depth_ = 0;
  std::optional<Failure> failure_;
};

// Wording for a refusal of the Boost parser that the checker did not
// reproduce (they accept the same language, so this is a last resort).
std::string_view reason_of(const error_code& ec) {
  namespace bj = boost::json;
  if (ec == bj::error::incomplete) return kEofValue;
  if (ec == bj::error::too_deep) return kRecursionLimit;
  if (ec == bj::error::extra_data) return kTrailingCharacters;
  if (ec == bj::error::exponent_overflow) return kNumberOutOfRange;
  if (ec == bj::error::illegal_leading_surrogate || ec == bj::error::illegal_trailing_surrogate)
    return kLoneSurrogate;
  if (ec == bj::error::expected_hex_digit) return kInvalidEscape;
  if (ec == bj::error::expected_utf16_escape) return kEndOfHexEscape;
  return kExpectedValue;
}

}  // namespace

Position position_of(std::string_view text, std::size_t consumed) {
  consumed = std::min(consumed, text.size());
  std::string_view read = text.substr(0, consumed);
  std::size_t last_nl = read.rfind('\n');
  std::size_t line_start = last_nl == std::string_view::npos ? 0 : last_nl + 1;
  Position p;
  p.line = 1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
  p.column = consumed - line_start;
  return p;
}

std::string with_position(std::string_view reason, std::string_view text, std::size_t consumed) {
  Position p = position_of(text, consumed);
  return std::string(reason) + " at line " + std::to_string(p.line) + " column " +
         std::to_string(p.column);
}

std::string SyntaxError::text() const {
  return reason + " at line " + std::to_string(position.line) + " column " +
         std::to_string(position.column);
}

SyntaxError syntax_error(std::string_view text, const error_code& ec, std::size_t used) {
  Failure failure{};
  if (auto found = Checker(text).run()) {
    failure = *found;
  } else {
    failure = Failure{!ec ? kTrailingCharacters : reason_of(ec), std::min(used, text.size())};
  }
  SyntaxError err;
  err.reason = std::string(failure.reason);
  err.offset = failure.offset;
  err.consumed = std::min(failure.offset + 1, text.size());
  err.position = position_of(text, err.consumed);
  return err;
}

}  // namespace quern_protocol::json
