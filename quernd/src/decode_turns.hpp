// Decoding a client's message without holding the event loop: a large
// frame's JSON is read a bounded slice per turn, and the other tasks run
// between slices.
#pragma once

#include <cstddef>
#include <optional>

#include <boost/asio/awaitable.hpp>

#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"

namespace quernd::conn {

namespace asio = boost::asio;

// JSON bytes read in one turn: a slice takes well under a millisecond, so a
// client sending 8 MiB frames back to back holds the thread no longer than
// that before every other ready task has had its turn.
inline constexpr std::size_t DECODE_SLICE = 64 * 1024;

// The frame's message, or none when its JSON is not one. A frame of at most
// one slice is decoded at once.
asio::awaitable<std::optional<quern_protocol::message::Message>> decode_in_turns(
    const quern_protocol::frame::Frame& frame);

}  // namespace quernd::conn
