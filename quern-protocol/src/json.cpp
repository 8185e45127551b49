#include "quern_protocol/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "json_chars.hpp"

namespace quern_protocol::json {

namespace {

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

}  // namespace

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

}  // namespace quern_protocol::json
