#include "quern_protocol/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include <boost/json/error.hpp>

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

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_number_char(char c) {
  return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Length of the well-formed UTF-8 sequence at t[i] (1 to 4), or 0 when the
// bytes there are not one (overlong forms and surrogates included).
std::size_t utf8_sequence(std::string_view t, std::size_t i) {
  auto byte = [&](std::size_t k) -> unsigned {
    return i + k < t.size() ? static_cast<unsigned char>(t[i + k]) : 0x100u;
  };
  auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
    unsigned b = byte(k);
    return b >= lo && b <= hi;
  };
  unsigned b0 = byte(0);
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
  if (b0 == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
  if (b0 == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  if (b0 >= 0xE1 && b0 <= 0xEF) return cont(1) && cont(2) ? 3 : 0;
  if (b0 == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  if (b0 >= 0xF1 && b0 <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
  if (b0 == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  return 0;
}

// Whether a number text whose value does not fit a double is too large (as
// opposed to too small): its decimal magnitude is then at least 1.
bool magnitude_at_least_one(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  long long int_digits = 0;  // significant digits before the point
  long long leading_frac_zeros = 0;
  bool seen_nonzero = false;
  for (; i < s.size() && is_digit(s[i]); ++i) {
    if (s[i] != '0') seen_nonzero = true;
    if (seen_nonzero) ++int_digits;
  }
  if (i < s.size() && s[i] == '.') {
    for (++i; i < s.size() && is_digit(s[i]); ++i) {
      if (seen_nonzero) continue;
      if (s[i] == '0') ++leading_frac_zeros;
      else seen_nonzero = true;
    }
  }
  if (!seen_nonzero) return false;  // zero never overflows
  long long exp = 0;
  bool exp_negative = false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) exp_negative = s[i++] == '-';
    for (; i < s.size() && is_digit(s[i]); ++i) exp = std::min(exp * 10 + (s[i] - '0'), 1LL << 40);
  }
  long long magnitude = (int_digits > 0 ? int_digits - 1 : -(leading_frac_zeros + 1)) +
                        (exp_negative ? -exp : exp);
  return magnitude >= 0;
}

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
      std::size_t n = utf8_sequence(t_, i_);
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
      ws();
      if (eof()) return fail(kEofObject, i_);
      if (peek() == '}') return leave();
      if (peek() != ',') return fail(kExpectedObjectCommaOrEnd, i_);
      ++i_;
      ws();
      if (eof()) return fail(kEofValue, i_);
      if (peek() == '}') return fail(kTrailingComma, i_);
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
      ws();
      if (eof()) return fail(kEofList, i_);
      if (peek() == ']') return leave();
      if (peek() != ',') return fail(kExpectedListCommaOrEnd, i_);
      ++i_;
      ws();
      if (eof()) return fail(kEofValue, i_);
      if (peek() == ']') return fail(kTrailingComma, i_);
    }
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

std::optional<double> double_of(std::string_view s) {
  double d = 0.0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec == std::errc::result_out_of_range) {
    if (magnitude_at_least_one(s)) return std::nullopt;
    return !s.empty() && s[0] == '-' ? -0.0 : 0.0;
  }
  if (ec != std::errc() || !std::isfinite(d)) return std::nullopt;
  return d;
}

bool is_integer_text(std::string_view s) {
  return s.find_first_of(".eE") == std::string_view::npos;
}

// ---- Locating values -------------------------------------------------------

std::size_t skip_ws(std::string_view t, std::size_t i) {
  while (i < t.size() && is_ws(t[i])) ++i;
  return i;
}

namespace {

// Index just past the string token at t[i] (its opening quote).
std::size_t skip_string(std::string_view t, std::size_t i) {
  ++i;
  while (i < t.size() && t[i] != '"') i += t[i] == '\\' ? 2 : 1;
  return std::min(i + 1, t.size());
}

}  // namespace

std::size_t value_end(std::string_view t, std::size_t i) {
  i = skip_ws(t, i);
  if (i >= t.size()) return t.size();
  switch (t[i]) {
    case '"': return skip_string(t, i);
    case 'n':
    case 't': return std::min(t.size(), i + 4);
    case 'f': return std::min(t.size(), i + 5);
    case '{':
    case '[': {
      std::size_t depth = 0;
      while (i < t.size()) {
        char c = t[i];
        if (c == '"') {
          i = skip_string(t, i);
          continue;
        }
        if (c == '{' || c == '[') ++depth;
        else if ((c == '}' || c == ']') && --depth == 0) return i + 1;
        ++i;
      }
      return t.size();
    }
    default:
      // The whole run of number characters: "01" ends after the 1, so a
      // leading zero that the checker refuses lies beyond the failure.
      while (i < t.size() && is_number_char(t[i])) ++i;
      return i;
  }
}

MemberAt member_at(std::string_view t, std::size_t ordinal) {
  std::size_t i = skip_ws(t, 0) + 1;  // the brace
  MemberAt at;
  for (std::size_t k = 0;; ++k) {
    at.key_end = skip_string(t, skip_ws(t, i));
    at.value_begin = skip_ws(t, skip_ws(t, at.key_end) + 1);  // past the colon
    if (k == ordinal || at.value_begin >= t.size()) return at;
    i = skip_ws(t, value_end(t, at.value_begin)) + 1;  // past the comma
  }
}

std::size_t first_element(std::string_view t) { return skip_ws(t, skip_ws(t, 0) + 1); }

// ---- Failure texts -------------------------------------------------------

namespace {

struct Range {
  char32_t lo, hi;
};

bool in(const Range* begin, const Range* end, char32_t c) {
  const Range* r = std::upper_bound(begin, end, c, [](char32_t x, const Range& r) { return x < r.lo; });
  return r != begin && c <= (r - 1)->hi;
}

// A deliberately small table of characters shown as \u{...} in a quoted
// text besides the controls: the separators other than the space (Zs, Zl,
// Zp), the common format characters (Cf), private use, noncharacters and the
// never-assigned planes. Other unassigned code points print as they are.
constexpr Range kNonPrintable[] = {
    {0x007F, 0x00A0}, {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD}, {0x070F, 0x070F},   {0x08E2, 0x08E2},   {0x1680, 0x1680},
    {0x180E, 0x180E}, {0x2000, 0x200F},   {0x2028, 0x202F},   {0x205F, 0x2064},
    {0x2066, 0x206F}, {0x3000, 0x3000},   {0xD800, 0xF8FF},   {0xFDD0, 0xFDEF},
    {0xFEFF, 0xFEFF}, {0xFFF0, 0xFFFB},   {0xFFFE, 0xFFFF},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0x40000, 0xDFFFF}, {0xE0000, 0x10FFFF},
};

// Combining marks shown as \u{...}: the combining blocks (diacritics,
// half marks, marks for symbols), variation selectors, ZWNJ, kana sound
// marks and the marks of Hebrew, Arabic, Syriac, Devanagari and Thai. Marks
// of other scripts print as they are.
constexpr Range kCombining[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF},
    {0x05C1, 0x05C2}, {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC}, {0x06DF, 0x06E4},
    {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0711, 0x0711}, {0x0730, 0x074A},
    {0x0900, 0x0902}, {0x093A, 0x093A}, {0x093C, 0x093C}, {0x0941, 0x0948},
    {0x094D, 0x094D}, {0x0951, 0x0957}, {0x0962, 0x0963}, {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200C, 0x200C}, {0x20D0, 0x20F0}, {0x302A, 0x302F}, {0x3099, 0x309A},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFF9E, 0xFF9F}, {0xE0100, 0xE01EF},
};

bool needs_escape(char32_t c) {
  if (c < 0x20) return true;
  if (c < 0x7F) return false;
  if ((c & 0xFFFE) == 0xFFFE) return true;  // noncharacters of every plane
  return in(std::begin(kNonPrintable), std::end(kNonPrintable), c) ||
         in(std::begin(kCombining), std::end(kCombining), c);
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    std::size_t n = utf8_sequence(text, i);
    if (n == 0) {
      // Not UTF-8 (only possible for texts built in code): show the byte.
      constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[b >> 4];
      out += hex[b & 0xF];
      ++i;
      continue;
    }
    char32_t c = b;
    if (n > 1) {
      c = b & (0x7F >> n);
      for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    switch (c) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (needs_escape(c)) {
          char hex[8];
          auto r = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
          out += "\\u{";
          out.append(hex, r.ptr);
          out += '}';
        }
        else out.append(text.substr(i, n));
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string float_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exp = 0;
  std::string_view es = sci.substr(e + 1);
  if (es.front() == '+') es.remove_prefix(1);
  std::from_chars(es.data(), es.data() + es.size(), exp);
  if (exp >= 0) {
    std::size_t int_len = static_cast<std::size_t>(exp) + 1;
    if (digits.size() <= int_len) {
      out += digits;
      out.append(int_len - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, int_len);
      out += '.';
      out += digits.substr(int_len);
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
  }
  return out;
}

std::string unexpected(const Scalar& v) {
  switch (v.kind) {
    case Kind::null: return "null";
    case Kind::boolean: return v.boolean ? "boolean `true`" : "boolean `false`";
    case Kind::int64: return "integer `" + std::to_string(v.int64) + "`";
    case Kind::uint64: return "integer `" + std::to_string(v.uint64) + "`";
    case Kind::big_integer: return "integer `" + std::string(v.text) + "`";
    case Kind::float64: return "floating point `" + float_text(v.float64) + "`";
    case Kind::string: return "string " + quoted(v.text);
    case Kind::array: return "sequence";
    case Kind::object: return "map";
  }
  return "null";
}

std::string invalid_type(const Scalar& v, std::string_view expected) {
  return "invalid type: " + unexpected(v) + ", expected " + std::string(expected);
}

std::string missing_field(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

std::string duplicate_field(std::string_view name) {
  return "duplicate field `" + std::string(name) + "`";
}

std::string invalid_length(std::size_t n, std::string_view expected) {
  return "invalid length " + std::to_string(n) + ", expected " + std::string(expected);
}

std::string elements_in_sequence(std::size_t n) {
  return n == 1 ? std::string("1 element in sequence")
                : std::to_string(n) + " elements in sequence";
}

}  // namespace quern_protocol::json
