#include "quern_protocol/json_failure_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "json_chars.hpp"
#include "quern_protocol/utf8.hpp"

namespace quern_protocol::json {

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
    // Printable ASCII other than the quote and the backslash goes out as a
    // run: a long text is quoted at the speed of a copy.
    std::size_t plain = i;
    while (plain < text.size() && text[plain] >= 0x20 && text[plain] < 0x7F && text[plain] != '"' &&
           text[plain] != '\\')
      ++plain;
    if (plain > i) {
      out.append(text.substr(i, plain - i));
      i = plain;
      continue;
    }
    unsigned char b = static_cast<unsigned char>(text[i]);
    std::size_t n = utf8::sequence_at(text, i).length;
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
