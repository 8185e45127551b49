// A session's input channel on one connection: a bounded run of client
// frames from the connection (and the from-shim pump) to the to-shim pump.
#pragma once

#include <cstddef>
#include <utility>

#include <boost/asio/any_io_executor.hpp>

#include "channel.hpp"
#include "frame_ring.hpp"

namespace quernd::conn {

namespace asio = boost::asio;
using quern_protocol::frame::EncodedFrame;

// The capacity of a session's input channel, in frames.
inline constexpr std::size_t INPUT_CAPACITY = 32;

// A sending end of a session's input channel; copies are further senders.
using InputSender = channel::Sender<frame_ring::FrameRing>;
// The receiving end of a session's input channel.
using InputReceiver = channel::Receiver<frame_ring::FrameRing>;

// A bounded channel of INPUT_CAPACITY frames.
inline std::pair<InputSender, InputReceiver> input_channel(const asio::any_io_executor& ex) {
  return channel::bounded<frame_ring::FrameRing>(ex, INPUT_CAPACITY);
}

}  // namespace quernd::conn
