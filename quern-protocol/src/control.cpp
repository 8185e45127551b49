#include "quern_protocol/control.hpp"

#include <cstdlib>
#include <string>
#include <utility>

#include "quern_protocol/packet.hpp"
#include "quern_protocol/version.hpp"

namespace quern_protocol::control {

namespace msg = message;
using message::Message;
using packet::Packet;

std::optional<Message> message_of(const frame::Frame& f) {
  auto decoded = Message::deserialize(f.json.span());
  if (!decoded) return std::nullopt;
  return std::move(*decoded);
}

Message answer_hello(std::span<const std::uint32_t> versions) {
  auto chosen = version::negotiate(versions);
  if (chosen) return msg::Welcome{*chosen};
  return msg::Error{std::nullopt, chosen.error().what()};
}

frame::EncodedFrame encode(Message message) {
  auto encoded = Packet{std::move(message), {}}.encode_parts();
  if (encoded) return std::move(*encoded);
  // Too large for a frame: send a short error in its place.
  Packet substitute{msg::Error{std::nullopt, "reply withheld: " + encoded.error().what()}, {}};
  auto fallback = substitute.encode_parts();
  if (!fallback) std::abort();  // a short error always fits in a frame
  return std::move(*fallback);
}

}  // namespace quern_protocol::control
