// A message with its payload, encoded into one frame with compact JSON.
#pragma once

#include <expected>
#include <string>
#include <variant>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"

namespace quern_protocol::packet {

struct PacketError {
  struct Json {
    std::string text;  // the JSON library's error text
  };
  std::variant<frame::FrameError, Json> value;
  std::string what() const;
};

struct Packet {
  message::Message message;
  Bytes payload;

  // The frame shares the payload; the packet stays as it is.
  std::expected<frame::EncodedFrame, PacketError> encode_parts() const;
};

}  // namespace quern_protocol::packet
