#include "ws_transport.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>

#include <sys/uio.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffers_prefix.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "await.hpp"
#include "quern_session/wire.hpp"
#include "task.hpp"
#include "ws_close.hpp"

namespace quernd::data_plane {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using Clock = std::chrono::steady_clock;
using quern_session::OsError;

namespace detail {

// The TCP stream under the WebSocket. It differs from the socket in three
// things. The end of a close that the client began, or of a connection that
// the library fails, does not wait for the client to close its side as
// well: sending is shut down and the read that saw the close completes at
// once; the socket itself closes when both halves are gone. While writes
// are held (the opening handshake), what the library writes is kept and
// not sent. The code of the library's answer to a client's close is set
// right on its way out (`CloseAnswer`): that code goes out in a write of
// its own. And the writer's binary messages go out past the library, many
// in one system call (`write_own`); the library's writes (pings, pongs,
// closes) and those take turns, so that neither lands inside the other.
class TcpStream {
 public:
  using executor_type = asio::ip::tcp::socket::executor_type;

  explicit TcpStream(asio::ip::tcp::socket socket)
      : socket_(std::move(socket)), turn_(never_timer(socket_.get_executor())) {}

  executor_type get_executor() { return socket_.get_executor(); }
  asio::ip::tcp::socket& next_layer() { return socket_; }
  const asio::ip::tcp::socket& next_layer() const { return socket_; }

  void hold_writes() { held_ = std::string(); }
  // What was written while writes were held; they go out from now on.
  std::string release_held() {
    std::string held = std::move(held_).value_or(std::string());
    held_.reset();
    return held;
  }

  template <class Buffers, class Token>
  auto async_read_some(const Buffers& buffers, Token&& token) {
    return asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(ReadOp<Buffers>{*this, buffers},
                                                                                   token, socket_);
  }
  template <class Buffers, class Token>
  auto async_write_some(const Buffers& buffers, Token&& token) {
    return asio::async_compose<Token, void(boost::system::error_code, std::size_t)>(WriteOp<Buffers>{*this, buffers},
                                                                                   token, socket_);
  }

 private:
  template <class Buffers>
  static void each_buffer(const Buffers& buffers, std::size_t n, auto&& take) {
    for (const asio::const_buffer b : beast::buffers_prefix(n, buffers))
      take(std::span(static_cast<const std::uint8_t*>(b.data()), b.size()));
  }

  template <class Buffers>
  struct ReadOp {
    TcpStream& stream;
    Buffers buffers;
    bool started = false;

    template <class Self>
    void operator()(Self& self, boost::system::error_code ec = {}, std::size_t n = 0) {
      if (!started) {
        started = true;
        self.reset_cancellation_state(asio::enable_total_cancellation());
        stream.socket_.async_read_some(beast::buffers_prefix(READ_PIECE, buffers), std::move(self));
        return;
      }
      each_buffer(buffers, n, [&](std::span<const std::uint8_t> b) { stream.close_.received(b); });
      self.complete(ec, n);
    }
  };

  template <class Buffers>
  struct WriteOp {
    TcpStream& stream;
    Buffers buffers;
    enum class Step { Start, Waiting, Writing, Held } step = Step::Start;

    template <class Self>
    void operator()(Self& self, boost::system::error_code ec = {}, std::size_t n = 0) {
      switch (step) {
        case Step::Start:
          self.reset_cancellation_state(asio::enable_total_cancellation());
          if (stream.held_) {
            step = Step::Held;
            const auto at = stream.held_->size();
            stream.held_->resize(at + asio::buffer_size(buffers));
            asio::buffer_copy(asio::buffer(stream.held_->data() + at, stream.held_->size() - at), buffers);
            asio::post(stream.socket_.get_executor(), std::move(self));
            return;
          }
          [[fallthrough]];
        case Step::Waiting:
          if (step == Step::Waiting) {
            --stream.library_waiting_;
            if (self.get_cancellation_state().cancelled() != asio::cancellation_type::none)
              return self.complete(asio::error::operation_aborted, 0);
          }
          if (stream.own_writing_) {
            // Messages of the writer's are going out: wait for their end.
            step = Step::Waiting;
            ++stream.library_waiting_;
            stream.turn_.async_wait(std::move(self));
            return;
          }
          step = Step::Writing;
          ++stream.library_writes_;
          stream.write(buffers, std::move(self));
          return;
        case Step::Writing:
          if (--stream.library_writes_ == 0) stream.turn_.cancel();
          each_buffer(buffers, n, [&](std::span<const std::uint8_t> b) { stream.close_.sent(b); });
          self.complete(ec, n);
          return;
        case Step::Held:
          self.complete({}, asio::buffer_size(buffers));
          return;
      }
    }
  };

 public:
  // Sends `iov`, whole binary messages, in as few system calls as the
  // socket allows; once no write of the library's is going on, and only
  // while `open()` holds then. False on any error, when not open, or when
  // abandoned; a message left half-sent ends the sending direction, since
  // nothing after it could be read right.
  template <class Open>
  asio::awaitable<bool> write_own(std::span<iovec> iov, Open open) {
    // A write of the library's that waits goes first, so that a client's
    // pong is not held back by a stream of messages.
    while (library_writes_ > 0 || library_waiting_ > 0) {
      co_await turn_.async_wait(use_tuple);
      const asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
      if (state.cancelled() != asio::cancellation_type::none) co_return false;
    }
    if (!open()) co_return false;
    struct Turn {
      TcpStream& stream;
      bool partial = false;
      ~Turn() {
        if (partial) {
          boost::system::error_code ignored;
          stream.socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        }
        stream.own_writing_ = false;
        stream.turn_.cancel();
      }
    } turn{*this};
    own_writing_ = true;
    const int fd = socket_.native_handle();
    std::size_t first = 0;
    while (first < iov.size()) {
      const ssize_t n = quern_session::wire::send_gathered(fd, iov, first);
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) co_return false;
        auto [ec] = co_await socket_.async_wait(asio::ip::tcp::socket::wait_write, use_tuple);
        if (ec) co_return false;
        continue;
      }
      if (n == 0) co_return false;
      turn.partial = true;
      quern_session::wire::step_past(iov, first, static_cast<std::size_t>(n),
                                     [&](std::span<const std::uint8_t> went) { close_.sent(went); });
    }
    turn.partial = false;
    co_return true;
  }

 private:
  // Writes the bytes up to the code of a close frame, or that code alone.
  template <class Buffers, class Handler>
  void write(const Buffers& buffers, Handler&& handler) {
    FrameCursor cursor = close_.next();
    std::size_t before = 0;
    bool at_code = cursor.at_close_code();
    for (auto it = asio::buffer_sequence_begin(buffers); !at_code && it != asio::buffer_sequence_end(buffers); ++it) {
      const asio::const_buffer b = *it;
      std::span bytes(static_cast<const std::uint8_t*>(b.data()), b.size());
      while (!bytes.empty() && !at_code) {
        const std::size_t n = cursor.take(bytes);
        before += n;
        bytes = bytes.subspan(n);
        at_code = cursor.at_close_code();
      }
    }
    if (!at_code) return socket_.async_write_some(buffers, std::forward<Handler>(handler));
    if (before > 0) return socket_.async_write_some(beast::buffers_prefix(before, buffers), std::forward<Handler>(handler));
    std::array<std::uint8_t, 2> code{};
    const std::size_t have = asio::buffer_copy(asio::buffer(code), buffers);
    const std::uint64_t index = close_.next().at();
    if (index == 0 && have == 2 && close_.next().length() >= 2) {
      const auto out = close_.answer(static_cast<std::uint16_t>((code[0] << 8) | code[1]));
      code_out_ = {static_cast<std::uint8_t>(out >> 8), static_cast<std::uint8_t>(out & 0xff)};
    } else if (index == 0) {
      code_out_.reset();
    }
    if (!code_out_) return socket_.async_write_some(beast::buffers_prefix(1, buffers), std::forward<Handler>(handler));
    socket_.async_write_some(asio::buffer(code_out_->data() + index, 2 - index), std::forward<Handler>(handler));
  }

  asio::ip::tcp::socket socket_;
  std::optional<std::string> held_;
  CloseAnswer close_;
  // The code of the close frame going out, once its first byte is due.
  std::optional<std::array<std::uint8_t, 2>> code_out_;
  // Whose turn it is to write: the library's writes in flight, or the
  // writer's own messages. A wait for the turn ends when `turn_` is
  // cancelled; it never expires.
  int library_writes_ = 0;
  int library_waiting_ = 0;
  bool own_writing_ = false;
  asio::steady_timer turn_;
};

void teardown(beast::role_type, TcpStream& stream, boost::system::error_code& ec) {
  stream.next_layer().shutdown(asio::ip::tcp::socket::shutdown_send, ec);
}

template <class Handler>
void async_teardown(beast::role_type, TcpStream& stream, Handler&& handler) {
  boost::system::error_code ignored;
  stream.next_layer().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  asio::post(stream.get_executor(), beast::bind_front_handler(std::forward<Handler>(handler), boost::system::error_code{}));
}

// The connection as both halves and the reading task see it.
struct WsShared {
  WsShared(asio::ip::tcp::socket socket, WsTiming timing)
      : ws(std::move(socket)), timing(timing) {}

  websocket::stream<TcpStream, false> ws;
  WsTiming timing;
  int halves = 2;
  // The last ping or pong from the client.
  Clock::time_point heard{};

  void close_socket() {
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws).close(ignored);
  }
};

Half& Half::operator=(Half&& other) noexcept {
  if (this != &other) {
    release();
    shared_ = std::move(other.shared_);
  }
  return *this;
}

void Half::release() {
  if (!shared_) return;
  // The last half closes the TCP connection, which also ends a read still
  // waiting in the reading task.
  if (--shared_->halves == 0) shared_->close_socket();
  shared_.reset();
}

}  // namespace detail

using detail::Incoming;
using detail::IncomingSlot;
using detail::WsShared;

std::optional<Frame> one_frame(Bytes message) {
  auto decoded = quern_protocol::frame::decode_frame_bytes(message);
  // A frame error, or less than one whole frame.
  if (!decoded || !*decoded) return std::nullopt;
  // Anything after the frame spoils the message.
  if (!message.empty()) return std::nullopt;
  return std::move(**decoded);
}

namespace {

// The reading task: reads messages one at a time and hands each to the
// reader, reading on only once it has been taken. Ends at the first error,
// which the reader sees as the end once this task's sender is gone, or when
// the reader has gone.
asio::awaitable<void> read_messages(std::shared_ptr<WsShared> s, channel::Sender<IncomingSlot> out) {
  while (co_await out.room()) {
    // A buffer of its own for every message, so that the frame handed on
    // is a view of it and nothing is copied.
    auto buffer = std::make_shared<beast::flat_buffer>();
    auto [ec, n] = co_await s->ws.async_read(*buffer, use_tuple);
    if (ec) co_return;
    Incoming in;
    if (s->ws.got_binary()) {
      in.binary = true;
      const auto data = buffer->cdata();
      in.payload = Bytes(buffer, static_cast<const std::uint8_t*>(data.data()), data.size(), buffer->capacity());
    }
    // Refused once the reader has gone.
    if (!out.try_send(std::move(in))) co_return;
  }
}

// An HTTP answer's head without its Server fields.
std::string without_server_field(std::string head) {
  for (std::size_t at = head.find("\r\n") + 2; at < head.size();) {
    const auto end = head.find("\r\n", at);
    if (end == std::string::npos || end == at) break;
    const auto colon = head.find(':', at);
    if (colon < end && beast::iequals(std::string_view(head).substr(at, colon - at), "Server")) {
      head.erase(at, end + 2 - at);
    } else {
      at = end + 2;
    }
  }
  return head;
}

}  // namespace

WsReader::WsReader(std::shared_ptr<WsShared> shared, channel::Receiver<IncomingSlot> incoming)
    : half_(std::move(shared)), incoming_(std::move(incoming)) {}

asio::awaitable<std::optional<Frame>> WsReader::next() {
  WsShared& s = *half_;
  const auto started = Clock::now();
  // Every ping or pong starts the limit afresh.
  const auto limit = [&] { return std::max(started, s.heard) + s.timing.idle; };
  while (!ended_) {
    auto got = co_await incoming_.receive_until(limit());
    if (!got) {
      // The limit passed, unless a ping or pong has put it off meanwhile.
      if (Clock::now() >= limit()) ended_ = true;
      continue;
    }
    std::optional<Frame> frame;
    if (*got && (*got)->binary) frame = one_frame(std::move((*got)->payload));
    if (!frame) ended_ = true;
    co_return frame;
  }
  co_return std::nullopt;
}

WsWriter::WsWriter(std::shared_ptr<WsShared> shared)
    : half_(std::move(shared)), ticker_(half_->ws.get_executor()), next_tick_(Clock::now()) {}

asio::awaitable<bool> WsWriter::write(EncodedFrame frame) {
  co_return co_await write_batch(std::span<const EncodedFrame>(&frame, 1));
}

asio::awaitable<bool> WsWriter::write_batch(std::span<const EncodedFrame> frames) {
  // Each frame is one final, unmasked binary message: a header of its own,
  // then the frame's head and payload as they are.
  headers_.resize(frames.size() * MAX_HEADER);
  iov_.clear();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    std::uint8_t* header = headers_.data() + i * MAX_HEADER;
    const std::uint64_t size = frames[i].size();
    std::size_t length = 2;
    header[0] = 0x82;
    if (size < 126) {
      header[1] = static_cast<std::uint8_t>(size);
    } else if (size <= 0xffff) {
      header[1] = 126;
      length = 4;
    } else {
      header[1] = 127;
      length = 10;
    }
    for (std::size_t at = length; at > 2; --at) header[at - 1] = static_cast<std::uint8_t>(size >> (8 * (length - at)));
    iov_.push_back({header, length});
    for (const Bytes* part : {&frames[i].head, &frames[i].payload}) {
      if (!part->empty()) iov_.push_back({const_cast<std::uint8_t*>(part->data()), part->size()});
    }
  }
  WsShared& s = *half_;
  co_return co_await s.ws.next_layer().write_own(iov_, [&s] { return s.ws.is_open(); });
}

namespace {

// Lets through only the writer task's abort, which is terminal alone, and
// not the cancellation of a race that a frame won, which carries every type
// at once.
struct AbortOnly {
  asio::cancellation_type_t operator()(asio::cancellation_type_t type) const {
    constexpr auto race = asio::cancellation_type::partial | asio::cancellation_type::total;
    return (type & race) != asio::cancellation_type::none ? asio::cancellation_type::none : type;
  }
};

}  // namespace

asio::awaitable<bool> WsWriter::keepalive() {
  // A tick already due is taken at once, so that it competes with a queued
  // frame on equal terms.
  if (Clock::now() < next_tick_) {
    ticker_.expires_at(next_tick_);
    auto [ec] = co_await ticker_.async_wait(use_tuple);
    if (ec) co_return false;
  }
  // Abandoned (or aborted) before the ping began: the tick stays due.
  auto state = co_await asio::this_coro::cancellation_state;
  if (state.cancelled() != asio::cancellation_type::none) co_return false;
  next_tick_ = Clock::now() + half_->timing.ping_period;
  // A ping half written would break the stream: once begun it is finished,
  // whoever gives up on it, unless the writer task itself is aborted.
  co_await asio::this_coro::reset_cancellation_state(AbortOnly{});
  auto [sent] = co_await half_->ws.async_ping({}, use_tuple);
  co_await asio::this_coro::reset_cancellation_state();
  co_return !sent;
}

asio::awaitable<void> WsWriter::close_within(std::uint16_t code, const char* reason,
                                             Clock::duration limit) {
  using namespace asio::experimental::awaitable_operators;
  websocket::close_reason why;
  if (code != 0) why = websocket::close_reason(static_cast<websocket::close_code>(code), reason);
  asio::steady_timer timer(half_->ws.get_executor(), limit);
  // Neither the outcome nor the expiry matters: the writer goes either way.
  co_await (half_->ws.async_close(why, use_tuple) || timer.async_wait(use_tuple));
}

asio::awaitable<void> WsWriter::overflow() && {
  co_await close_within(OVERFLOW_CODE, OVERFLOW_REASON, half_->timing.overflow_close);
  detail::Half dropped = std::move(half_);
}

asio::awaitable<void> WsWriter::finish() && {
  co_await close_within(0, "", half_->timing.finish_close);
  detail::Half dropped = std::move(half_);
}

asio::awaitable<std::expected<WsTransport, OsError>> WsTransport::accept(asio::ip::tcp::socket socket,
                                                                        const Request& request, std::string protocol,
                                                                        WsTiming timing) {
  auto shared = std::make_shared<WsShared>(std::move(socket), timing);
  auto& ws = shared->ws;
  ws.set_option(websocket::stream_base::timeout{websocket::stream_base::none(), websocket::stream_base::none(),
                                                false});
  ws.read_message_max(MESSAGE_LIMIT);
  ws.write_buffer_bytes(WRITE_BUFFER);
  ws.auto_fragment(false);
  ws.binary(true);
  ws.set_option(websocket::stream_base::decorator([protocol = std::move(protocol)](websocket::response_type& answer) {
    answer.set(boost::beast::http::field::sec_websocket_protocol, protocol);
  }));
  WsShared* raw = shared.get();
  ws.control_callback([raw](websocket::frame_type kind, boost::beast::string_view) {
    if (kind != websocket::frame_type::close) raw->heard = Clock::now();
  });
  // The library adds a Server field, naming itself and its version, to
  // whatever it answers: its answer is held and goes out without it.
  ws.next_layer().hold_writes();
  auto [ec] = co_await ws.async_accept(request, use_tuple);
  const std::string answer = without_server_field(ws.next_layer().release_held());
  if (ec) co_return std::unexpected(OsError::from_error_code(ec));
  auto [write_ec, n] = co_await asio::async_write(ws.next_layer().next_layer(), asio::buffer(answer), use_tuple);
  if (write_ec) co_return std::unexpected(OsError::from_error_code(write_ec));
  co_return WsTransport(std::move(shared));
}

std::pair<WsReader, WsWriter> WsTransport::split() && {
  std::shared_ptr<WsShared> shared = std::move(shared_);
  // One message ahead at most.
  auto [to_reader, from_task] = channel::bounded<IncomingSlot>(shared->ws.get_executor(), 1);
  task::Task::spawn_detached(shared->ws.get_executor(), read_messages(shared, std::move(to_reader)));
  return {WsReader(shared, std::move(from_task)), WsWriter(shared)};
}

}  // namespace quernd::data_plane
