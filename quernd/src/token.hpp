// The data plane's access token: 64 lowercase hexadecimal digits drawn from
// 32 bytes of system entropy, once per run. It is a secret: it leaves the
// daemon only through the endpoint file and the echo of a browser's own
// subprotocol header, and is only ever compared in constant time.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "quern_session/os_error.hpp"

namespace quernd::data_plane {

class Token {
 public:
  static constexpr std::size_t BYTES = 32;
  static constexpr std::size_t LENGTH = 2 * BYTES;

  // A fresh token; the error carries the entropy source's failure.
  static std::expected<Token, quern_session::OsError> generate();
  // The token of these exact 64 digits, for tests.
  static Token from_digits(std::string digits);

  // Whether `candidate` is exactly the token. The time taken depends on the
  // token's length alone, never on the candidate's content or length.
  bool matches(std::span<const std::uint8_t> candidate) const;
  bool matches(std::string_view candidate) const;

  // The digits, for the endpoint file only.
  const std::string& secret() const { return *digits_; }

 private:
  explicit Token(std::shared_ptr<const std::string> digits) : digits_(std::move(digits)) {}
  std::shared_ptr<const std::string> digits_;
};

}  // namespace quernd::data_plane
