// A browser client's connection: a server-side WebSocket over TCP that
// carries one protocol frame per binary message in both directions, with
// the daemon's keepalive pings and the client's idle limit. Its queue is
// lossy and the data-plane restrictions apply to it.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <sys/uio.h>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>

#include "channel.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_session/os_error.hpp"
#include "timings.hpp"
#include "transport.hpp"

namespace quernd::data_plane {

namespace asio = boost::asio;
using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quern_protocol::frame::Frame;
using Request = boost::beast::http::request<boost::beast::http::empty_body>;

// The largest message or frame taken from a browser: 4 bytes more than the
// largest whole protocol frame.
inline constexpr std::size_t MESSAGE_LIMIT = 8'388'616;
inline constexpr std::size_t WRITE_BUFFER = 131'072;
// Bytes taken from the socket by one read. The library unmasks what it read
// before it yields, so a larger read would hold the thread for milliseconds.
inline constexpr std::size_t READ_PIECE = 262'144;
inline constexpr std::uint16_t OVERFLOW_CODE = 1013;
inline constexpr const char* OVERFLOW_REASON = "send buffer over 8 MiB";

// The one protocol frame that a binary message holds; none unless the
// message is exactly one whole frame. The frame is a view of the message.
std::optional<Frame> one_frame(Bytes message);

namespace detail {
struct WsShared;

// A message that the reading task hands to the reader: a binary one's bytes,
// or none for a message of another kind.
struct Incoming {
  bool binary = false;
  Bytes payload;
};
// The hand-over from the reading task to the reader: one message at most.
using IncomingSlot = channel::OneSlot<Incoming>;

// One half's share of the connection; the TCP connection closes once both
// halves are gone.
class Half {
 public:
  Half() = default;
  explicit Half(std::shared_ptr<WsShared> shared) : shared_(std::move(shared)) {}
  Half(Half&& other) noexcept = default;
  Half& operator=(Half&& other) noexcept;
  ~Half() { release(); }
  WsShared& operator*() const { return *shared_; }
  WsShared* operator->() const { return shared_.get(); }
  explicit operator bool() const { return shared_ != nullptr; }

 private:
  void release();
  std::shared_ptr<WsShared> shared_;
};
}  // namespace detail

// The reading half. Messages are read by a task of its own, one ahead at
// most, and handed over here: a read is never cancelled, which would be the
// end of the WebSocket.
class WsReader {
 public:
  WsReader(std::shared_ptr<detail::WsShared> shared, channel::Receiver<detail::IncomingSlot> incoming);
  WsReader(WsReader&&) noexcept = default;
  WsReader& operator=(WsReader&&) = delete;

  // The next frame; none once the incoming side has ended: a message that
  // is not exactly one frame, a text or close message, an error, the end of
  // the stream, or the idle limit without a message, ping or pong. After
  // none, every later call gives none at once.
  asio::awaitable<std::optional<Frame>> next();

 private:
  detail::Half half_;
  // Dropped before the half: the reading task stops at its next turn.
  channel::Receiver<detail::IncomingSlot> incoming_;
  // Once the reader has given none, it gives none for good.
  bool ended_ = false;
};

// The writing half, used by the writer task alone.
class WsWriter {
 public:
  static constexpr bool sends_keepalives = true;

  explicit WsWriter(std::shared_ptr<detail::WsShared> shared);
  WsWriter(WsWriter&&) noexcept = default;

  // Sends the frame as one binary message.
  asio::awaitable<bool> write(EncodedFrame frame);
  // Sends the frames, one binary message each and in order, gathered into
  // as few system calls as the socket allows; nothing is copied.
  asio::awaitable<bool> write_batch(std::span<const EncodedFrame> frames);
  // Waits for the next tick (the first is due at once, later ones a full
  // period after the one before was taken) and sends an empty ping. The
  // wait may be abandoned without losing the tick; the ping, once begun,
  // is finished even when the caller has given up on it.
  asio::awaitable<bool> keepalive();
  // Sends the close message OVERFLOW_CODE with OVERFLOW_REASON, waiting at
  // most the timing's `overflow_close`, then lets go of the connection.
  asio::awaitable<void> overflow() &&;
  // Closes the WebSocket (a close message without a code, or the end of a
  // close the client began), waiting at most the timing's `finish_close`.
  asio::awaitable<void> finish() &&;

 private:
  asio::awaitable<void> close_within(std::uint16_t code, const char* reason,
                                     std::chrono::steady_clock::duration limit);
  // The largest WebSocket header of a message from the server.
  static constexpr std::size_t MAX_HEADER = 10;
  detail::Half half_;
  asio::steady_timer ticker_;
  std::chrono::steady_clock::time_point next_tick_;
  // The headers and the gathered pieces of the last write, kept for reuse.
  std::vector<std::uint8_t> headers_;
  std::vector<iovec> iov_;
};

// An upgraded browser connection, ready to be served.
class WsTransport {
 public:
  using Reader = WsReader;
  using Writer = WsWriter;
  static constexpr bool lossy_queue = true;
  static constexpr bool on_data_plane = true;

  // Completes the opening handshake of a request that has passed every
  // check. The 101 answer carries the upgrade, the connection, the accept
  // key and `protocol`, the request's first Sec-WebSocket-Protocol value as
  // sent, byte for byte; nothing else.
  static asio::awaitable<std::expected<WsTransport, quern_session::OsError>> accept(
      asio::ip::tcp::socket socket, const Request& request, std::string protocol, WsTiming timing);

  WsTransport(WsTransport&&) noexcept = default;
  WsTransport& operator=(WsTransport&&) noexcept = default;

  // Starts the reading task and gives the two halves.
  std::pair<WsReader, WsWriter> split() &&;

 private:
  explicit WsTransport(std::shared_ptr<detail::WsShared> shared) : shared_(std::move(shared)) {}
  std::shared_ptr<detail::WsShared> shared_;
};

static_assert(transport::Transport<WsTransport>);

}  // namespace quernd::data_plane
