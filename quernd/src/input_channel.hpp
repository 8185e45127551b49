// A session's input channel on one connection: a bounded run of client
// frames from the connection (and the from-shim pump) to the to-shim pump.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "quern_protocol/frame.hpp"
#include "sync.hpp"

namespace quernd::conn {

namespace asio = boost::asio;
using quern_protocol::frame::EncodedFrame;

// The capacity of a session's input channel, in frames.
inline constexpr std::size_t INPUT_CAPACITY = 32;

struct InputState;
class InputReceiver;

// A sending end of a session's input channel; copies are further senders.
// Once every sender is gone the receiver sees the end after the last frame.
class InputSender {
 public:
  InputSender() = default;
  InputSender(const InputSender& other);
  InputSender(InputSender&& other) noexcept = default;
  InputSender& operator=(InputSender other) noexcept;
  ~InputSender();

  // Offers the frame without waiting. False when the channel is full, when a
  // sender waits in `send` (a freed place is its), or when the receiver is
  // gone; the frame is dropped then.
  // `when` is the wake-up of the waiting receiver.
  bool try_send(EncodedFrame frame, sync::Wake when = sync::Wake::later);
  // Sends the frame, waiting while the channel is full. False when the
  // receiver is gone; the frame is dropped then.
  asio::awaitable<bool> send(EncodedFrame frame);
  // Ends the channel for every sender: what is still in it is dropped, the
  // receiver sees the end at once and every later send fails.
  void close();
  // Whether the channel still takes frames: not closed, receiver there.
  bool open() const;

 private:
  friend std::pair<InputSender, InputReceiver> input_channel(const asio::any_io_executor& ex);
  explicit InputSender(std::shared_ptr<InputState> state);
  void release();
  std::shared_ptr<InputState> state_;
};

// The receiving end of a session's input channel. Dropping it discards what
// is still in the channel and makes every later send fail.
class InputReceiver {
 public:
  InputReceiver(InputReceiver&& other) noexcept = default;
  InputReceiver& operator=(InputReceiver other) noexcept;
  ~InputReceiver();

  // The next frame in the order sent; none once every sender is gone and
  // the channel is empty.
  asio::awaitable<std::optional<EncodedFrame>> receive();
  // Takes further frames onto `batch` without waiting, while it holds fewer
  // than `max_frames` frames and `max_bytes` bytes.
  void take_more(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes);

 private:
  friend std::pair<InputSender, InputReceiver> input_channel(const asio::any_io_executor& ex);
  explicit InputReceiver(std::shared_ptr<InputState> state) : state_(std::move(state)) {}
  void release();
  std::shared_ptr<InputState> state_;
};

// A bounded channel of INPUT_CAPACITY frames.
std::pair<InputSender, InputReceiver> input_channel(const asio::any_io_executor& ex);

}  // namespace quernd::conn
