#include "quern_protocol/version.hpp"

#include <algorithm>

namespace quern_protocol::version {
namespace {

std::string list_form(std::span<const std::uint32_t> v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(v[i]);
  }
  return out + "]";
}

}  // namespace

std::string VersionError::what() const {
  constexpr std::size_t shown = 8;
  std::string peers;
  if (peer.size() > shown) {
    peers = list_form(std::span(peer).first(shown)) + " and " +
            std::to_string(peer.size() - shown) + " more";
  } else {
    peers = list_form(peer);
  }
  return "no protocol version in common: peer speaks " + peers + ", this build " +
         list_form(SUPPORTED_VERSIONS);
}

std::expected<std::uint32_t, VersionError> negotiate(std::span<const std::uint32_t> peer) {
  if (std::find(peer.begin(), peer.end(), 1u) != peer.end()) return 1u;
  return std::unexpected(VersionError{std::vector<std::uint32_t>(peer.begin(), peer.end())});
}

}  // namespace quern_protocol::version
