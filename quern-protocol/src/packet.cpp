#include "quern_protocol/packet.hpp"

#include <exception>

#include "quern_protocol/json_writer.hpp"

namespace quern_protocol::packet {

std::string PacketError::what() const {
  if (auto* f = std::get_if<frame::FrameError>(&value)) return f->what();
  return "undecodable message: " + std::get<Json>(value).text;
}

std::expected<frame::EncodedFrame, PacketError> Packet::encode_parts() const {
  std::string text;
  try {
    text.reserve(128);
    json::write_compact(message.serialize(), text);
  } catch (const std::exception& e) {
    return std::unexpected(PacketError{PacketError::Json{e.what()}});
  }
  auto encoded = frame::encode_frame_parts(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), payload);
  if (!encoded) return std::unexpected(PacketError{encoded.error()});
  return std::move(*encoded);
}

}  // namespace quern_protocol::packet
