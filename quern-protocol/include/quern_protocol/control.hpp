// Control frames: messages that travel in a frame of their own, without
// payload. Reading a frame's message, answering hello, and encoding the
// frames we generate.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"

namespace quern_protocol::control {

// The frame's message; none when its JSON text is no message.
std::optional<message::Message> message_of(const frame::Frame& frame);

// welcome with the negotiated version, or an error without id.
message::Message answer_hello(std::span<const std::uint32_t> versions);

// The frame of a message we generate, with an empty payload. A message too
// large for a frame is replaced by an error "reply withheld: {}".
frame::EncodedFrame encode(message::Message message);

}  // namespace quern_protocol::control
