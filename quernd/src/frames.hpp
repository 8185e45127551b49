// The frames a connection builds itself: `error` replies, and the frames it
// received, encoded again to be passed on.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"

namespace quernd::conn {

using quern_protocol::frame::EncodedFrame;
using quern_protocol::frame::Frame;
using quern_protocol::message::PtyId;

// The frame of an `error` message with the given id and text.
EncodedFrame error(std::optional<PtyId> id, std::string text);

// A payload that keeps more alive than this, and over four times its own
// size, is copied out before it is queued.
inline constexpr std::size_t COPY_OUT_FLOOR = 64 * 1024;

// The payload itself, or a copy of it in storage of its own when it is a
// small view of a large buffer.
quern_protocol::Bytes own_storage(quern_protocol::Bytes payload);

// The frame itself, or a copy of it (head and payload) in storage of its own
// when it is a small view of a large buffer, by the same rule.
EncodedFrame own_storage(EncodedFrame frame);

// The same JSON text and payload as received, as a frame to send on. Copies
// the JSON text into a new head; the payload is shared, unless it is a small
// view of a large buffer (see own_storage).
EncodedFrame reencode(const Frame& frame);

}  // namespace quernd::conn
