// Conversations of framed messages on unix-domain streams: gathered frame
// writes on a stream's write half, and a buffered frame reader over its read
// half.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include <sys/types.h>
#include <sys/uio.h>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"
#include "quern_protocol/packet.hpp"
#include "quern_session/drained_read.hpp"
#include "quern_session/os_error.hpp"

namespace quern_session::wire {

namespace asio = boost::asio;
using quern_protocol::frame::EncodedFrame;
using quern_protocol::frame::Frame;
using quern_protocol::frame::FrameError;
using quern_protocol::message::DecodeError;
using quern_protocol::message::Message;
using quern_protocol::packet::Packet;

// The first capacity of every reader's buffer.
inline constexpr std::size_t FIRST_BUFFER = 64 * 1024;
// A reader's buffer takes room for this many frames of the size last read,
// within its first capacity and MOST_BUFFER, and more when one frame needs it.
inline constexpr std::size_t FRAMES_PER_BUFFER = 3;
inline constexpr std::size_t MOST_BUFFER = 1 << 20;
// The most one read of a reader takes from its stream.
inline constexpr std::size_t READ_PIECE = 128 * 1024;

struct WireError {
  struct Io {
    OsError error;
  };
  struct Frame {
    FrameError error;
  };
  struct Undecodable {
    DecodeError error;
  };
  struct Closed {};
  struct Unexpected {
    Message received;
    std::string expected;  // the expected kind's name, e.g. "Welcome"
  };
  struct Timeout {
    std::chrono::milliseconds limit;  // the wait that ran out
  };

  std::variant<Io, Frame, Undecodable, Closed, Unexpected, Timeout> value;

  template <class T>
  bool is() const { return std::holds_alternative<T>(value); }
  std::string what() const;
};

using Socket = asio::local::stream_protocol::socket;

// The two directions of one unix-domain stream, for one reading task and one
// writing task. The socket closes when both halves are gone.
class ReadHalf {
 public:
  using executor_type = Socket::executor_type;

  explicit ReadHalf(std::shared_ptr<Socket> socket) : socket_(std::move(socket)) {}

  executor_type get_executor() { return socket_->get_executor(); }

  // A short read leaves the next one to wait for data instead of trying first.
  template <class Token>
  auto async_read_some(asio::mutable_buffer buffer, Token&& token) {
    return drained_read::async_read_some(*socket_, buffer, std::forward<Token>(token));
  }

  // The descriptor, open while either half lives.
  int native_handle() { return socket_->native_handle(); }

 private:
  std::shared_ptr<Socket> socket_;
};

// Destroying the write half shuts down the sending direction: the peer sees
// the end of the stream while this side can still read.
class WriteHalf {
 public:
  using executor_type = Socket::executor_type;

  explicit WriteHalf(std::shared_ptr<Socket> socket) : socket_(std::move(socket)) {}
  WriteHalf(WriteHalf&&) noexcept = default;
  WriteHalf& operator=(WriteHalf&& other) noexcept;
  WriteHalf(const WriteHalf&) = delete;
  WriteHalf& operator=(const WriteHalf&) = delete;
  ~WriteHalf() { shutdown(); }

  executor_type get_executor() { return socket_->get_executor(); }

  template <class ConstBuffers, class Token>
  auto async_write_some(const ConstBuffers& buffers, Token&& token) {
    return socket_->async_write_some(buffers, std::forward<Token>(token));
  }

  // For gathered writes of our own: the descriptor, and a wait until the
  // socket can take more.
  int native_handle() { return socket_->native_handle(); }
  template <class Token>
  auto async_wait_writable(Token&& token) {
    return socket_->async_wait(Socket::wait_write, std::forward<Token>(token));
  }

 private:
  void shutdown();
  std::shared_ptr<Socket> socket_;
};

std::pair<ReadHalf, WriteHalf> split(Socket socket);

// One sendmsg of iov[first..] (at most IOV_MAX pieces) that never waits and
// raises no SIGPIPE; EINTR is tried again. The bytes taken, or -1 with errno.
ssize_t send_gathered(int fd, std::span<const iovec> iov, std::size_t first);

// Steps `first` past the `n` bytes a gathered send took, into an iovec if
// need be; `went` is handed each piece that went, in order.
template <class Went>
void step_past(std::span<iovec> iov, std::size_t& first, std::size_t n, Went&& went) {
  while (n > 0) {
    const std::size_t step = std::min(n, iov[first].iov_len);
    went(std::span(static_cast<const std::uint8_t*>(iov[first].iov_base), step));
    n -= step;
    if (step == iov[first].iov_len) {
      ++first;
    } else {
      iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + step;
      iov[first].iov_len -= step;
    }
  }
}

// Writes the frames in order, their heads and payloads gathered (never
// joined) into as few system calls as the iovec limit allows, until every
// byte is written; parts that lie back to back in memory go as one piece. A
// write that accepts no bytes fails too.
asio::awaitable<std::expected<void, OsError>> write_frames(WriteHalf& half, std::span<const EncodedFrame> frames);
// The same for one frame.
asio::awaitable<std::expected<void, OsError>> write_frame(WriteHalf& half, EncodedFrame frame);

// A buffered frame reader. Frames are split off the buffer without copying,
// and the buffer belongs to the reader, not to a call: a call abandoned by
// its caller (cancelled) loses no byte, and the next call finds them all.
class Reader {
 public:
  explicit Reader(ReadHalf inner, std::size_t capacity = FIRST_BUFFER)
      : inner(std::move(inner)), buf(capacity), first_capacity_(capacity) {}

  // The next frame; none when the stream has ended (a partial frame left in
  // the buffer is dropped). A malformed header stays at the front.
  asio::awaitable<std::expected<std::optional<Frame>, WireError>> next_frame();
  // The same, with the frame as it was received (see frame::split_frame).
  asio::awaitable<std::expected<std::optional<EncodedFrame>, WireError>> next_encoded();
  // The next frame as received when it is whole in the buffer already;
  // otherwise none, and next_encoded reads it or reports what is wrong.
  std::optional<EncodedFrame> buffered_encoded();
  // The next frame decoded into a packet; an undecodable frame is consumed.
  asio::awaitable<std::expected<std::optional<Packet>, WireError>> next_packet();
  // The next packet of any kind within `limit`.
  asio::awaitable<std::expected<Packet, WireError>> expect(std::chrono::milliseconds limit);
  // Whether more is at hand: a whole frame is buffered, or the last read
  // took all it could (the buffer's room, or READ_PIECE), so that the socket
  // may well hold more.
  bool has_more() const;

  ReadHalf inner;
  quern_protocol::BytesMut buf;

 private:
  // next_frame and next_encoded, with the given split of the buffer.
  template <class T, class Split>
  asio::awaitable<std::expected<std::optional<T>, WireError>> next_split(Split split);

  std::size_t first_capacity_;
  // The size of the last frame split off, header included.
  std::size_t last_frame_ = 0;
  bool last_read_full_ = false;
};

}  // namespace quern_session::wire
