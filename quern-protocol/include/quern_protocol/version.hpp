// Protocol versions this build speaks, and the choice of a conversation's version.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace quern_protocol::version {

inline constexpr std::array<std::uint32_t, 1> SUPPORTED_VERSIONS{1};

struct VersionError {
  std::vector<std::uint32_t> peer;  // the peer's offer, in the order received
  std::string what() const;
};

std::expected<std::uint32_t, VersionError> negotiate(std::span<const std::uint32_t> peer);

}  // namespace quern_protocol::version
