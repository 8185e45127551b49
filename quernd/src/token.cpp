#include "token.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quernd::data_plane {

namespace {

using quern_session::ErrorKind;
using quern_session::OsError;

// Keeps the compiler from reasoning about `v`, so that the comparison loop
// below can be neither cut short nor turned into a branch on the data.
template <class T>
T black_box(T v) {
  asm volatile("" : "+r"(v) : : "memory");
  return v;
}

}  // namespace

std::expected<Token, OsError> Token::generate() {
  unsigned char raw[BYTES];
  const int rc = ::getentropy(raw, sizeof raw);
  if (rc == -1) return std::unexpected(OsError::custom(ErrorKind::Other, OsError::from_errno(errno).what()));
  if (rc != 0) return std::unexpected(OsError::custom(ErrorKind::Other, "getentropy returned " + std::to_string(rc)));

  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(LENGTH);
  for (unsigned char b : raw) {
    text.push_back(DIGITS[b >> 4]);
    text.push_back(DIGITS[b & 0x0f]);
  }
  ::explicit_bzero(raw, sizeof raw);
  return Token(std::make_shared<const std::string>(std::move(text)));
}

Token Token::from_digits(std::string digits) { return Token(std::make_shared<const std::string>(std::move(digits))); }

bool Token::matches(std::span<const std::uint8_t> candidate) const {
  const std::string& token = *digits_;
  const std::size_t n = token.size();
  const bool same_length = candidate.size() == n;
  // A candidate of another length is compared with the token itself, so the
  // loop does the same work whatever it is given.
  const auto* partner = same_length ? candidate.data() : reinterpret_cast<const std::uint8_t*>(token.data());
  std::uint8_t acc = 1;
  for (std::size_t i = 0; i < n; ++i) {
    const auto equal = static_cast<std::uint8_t>(static_cast<std::uint8_t>(token[i]) == partner[i]);
    acc &= black_box(equal);
  }
  return black_box(acc) != 0 && same_length;
}

bool Token::matches(std::string_view candidate) const {
  return matches(std::span(reinterpret_cast<const std::uint8_t*>(candidate.data()), candidate.size()));
}

}  // namespace quernd::data_plane
