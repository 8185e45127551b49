#include "quern_session/wire.hpp"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <new>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace quern_session::wire {

namespace frame = quern_protocol::frame;
using asio::experimental::awaitable_operators::operator||;

namespace {

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

// Whether the caller has abandoned the current call. Checked before a frame
// is taken from the buffer, so an abandoned call never consumes one, and
// before every co_await, which would throw once cancelled.
bool abandoned(const asio::cancellation_state& state) {
  return state.cancelled() != asio::cancellation_type::none;
}

WireError aborted() {
  return WireError{WireError::Io{OsError::from_error_code(asio::error::operation_aborted)}};
}

std::expected<Packet, WireError> packet_of(Frame&& f) {
  auto decoded = Message::deserialize(f.json.span());
  if (!decoded) return std::unexpected(WireError{WireError::Undecodable{std::move(decoded.error())}});
  return Packet{std::move(*decoded), std::move(f.payload)};
}

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

}  // namespace

std::string WireError::what() const {
  struct Visitor {
    std::string operator()(const Io& e) const { return e.error.what(); }
    std::string operator()(const Frame& e) const { return e.error.what(); }
    std::string operator()(const Undecodable& e) const {
      return "undecodable message: " + e.error.what();
    }
    std::string operator()(const Closed&) const { return "peer closed"; }
    std::string operator()(const Unexpected& e) const {
      return "peer answered " + e.received.debug() + " where " + e.expected + " was expected";
    }
    std::string operator()(const Timeout& e) const {
      return "no reply within " + std::to_string(e.limit.count()) + "ms";
    }
  };
  return std::visit(Visitor{}, value);
}

WriteHalf& WriteHalf::operator=(WriteHalf&& other) noexcept {
  if (this != &other) {
    shutdown();
    socket_ = std::move(other.socket_);
  }
  return *this;
}

void WriteHalf::shutdown() {
  if (!socket_) return;
  boost::system::error_code ignored;
  socket_->shutdown(Socket::shutdown_send, ignored);
  socket_.reset();
}

std::pair<ReadHalf, WriteHalf> split(Socket socket) {
  auto shared = std::make_shared<Socket>(std::move(socket));
  return {ReadHalf(shared), WriteHalf(shared)};
}

asio::awaitable<std::expected<void, OsError>> write_frames(WriteHalf& half,
                                                          std::span<const EncodedFrame> frames) {
  std::vector<iovec> iov;
  iov.reserve(2 * frames.size());
  for (const EncodedFrame& f : frames) {
    for (const quern_protocol::Bytes* part : {&f.head, &f.payload}) {
      if (part->empty()) continue;
      auto* data = const_cast<std::uint8_t*>(part->data());
      // Parts that lie back to back, as frames passed on from one receive
      // buffer do, go as one piece.
      if (!iov.empty() && static_cast<std::uint8_t*>(iov.back().iov_base) + iov.back().iov_len == data) {
        iov.back().iov_len += part->size();
      } else {
        iov.push_back({data, part->size()});
      }
    }
  }
  const int fd = half.native_handle();
  std::size_t first = 0;
  while (first < iov.size()) {
    const ssize_t n = send_gathered(fd, iov, first);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) co_return std::unexpected(OsError::last());
      // Full: wait until the socket takes more.
      auto [ec] = co_await half.async_wait_writable(use_tuple);
      if (ec) co_return std::unexpected(OsError::from_error_code(ec));
      continue;
    }
    if (n == 0)
      co_return std::unexpected(OsError::custom(quern_session::ErrorKind::Other, "failed to write whole buffer"));
    step_past(iov, first, static_cast<std::size_t>(n), [](std::span<const std::uint8_t>) {});
  }
  co_return std::expected<void, OsError>{};
}

ssize_t send_gathered(int fd, std::span<const iovec> iov, std::size_t first) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(iov.data() + first);
  message.msg_iovlen = std::min<std::size_t>(iov.size() - first, IOV_MAX);
  for (;;) {
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return n;
  }
}

asio::awaitable<std::expected<void, OsError>> write_frame(WriteHalf& half, EncodedFrame frame) {
  co_return co_await write_frames(half, std::span<const EncodedFrame>(&frame, 1));
}

bool Reader::has_more() const {
  if (last_read_full_) return true;
  if (buf.size() < 4) return false;
  return 4 + std::size_t{be32(buf.data())} <= buf.size();
}

template <class T, class Split>
asio::awaitable<std::expected<std::optional<T>, WireError>> Reader::next_split(Split split) {
  for (;;) {
    if (abandoned(co_await asio::this_coro::cancellation_state)) co_return std::unexpected(aborted());
    const std::size_t held = buf.size();
    auto decoded = split(buf);
    if (!decoded) co_return std::unexpected(WireError{WireError::Frame{decoded.error()}});
    if (*decoded) {
      last_frame_ = held - buf.size();
      co_return std::move(*decoded);
    }

    if (buf.free_space().empty()) {
      std::size_t want = 64;
      // The header is in and passed the decoder's checks: make room for the
      // rest of the frame at once instead of growing step by step.
      if (buf.size() >= frame::HEADER_LEN) {
        std::size_t whole = 4 + std::size_t{be32(buf.data())};
        want = std::max(want, whole - buf.size());
      }
      // Room for a few frames like the last lets one read take several of
      // them while they come in a stream; each still makes up a good part
      // of the storage it keeps alive.
      const std::size_t chunk =
          std::clamp(FRAMES_PER_BUFFER * last_frame_, first_capacity_, std::max(first_capacity_, MOST_BUFFER));
      // A frame the memory cannot hold ends the stream like a read error.
      try {
        buf.reserve(want, chunk);
      } catch (const std::bad_alloc&) {
        co_return std::unexpected(
            WireError{WireError::Io{OsError::custom(ErrorKind::OutOfMemory, "out of memory")}});
      }
    }
    // A read takes at most READ_PIECE: a stream whose writer keeps up fills
    // all the room it is given in one receive, and 8 MiB copied into fresh
    // memory holds the thread for tens of milliseconds. Each piece is a turn
    // of the event loop of its own, so other connections run between them.
    auto space = buf.free_space().first(std::min(buf.free_space().size(), READ_PIECE));
    auto [ec, n] = co_await inner.async_read_some(asio::buffer(space.data(), space.size()), use_tuple);
    buf.commit(n);
    last_read_full_ = n == space.size();
    if (ec == asio::error::eof) co_return std::nullopt;
    if (ec) co_return std::unexpected(WireError{WireError::Io{OsError::from_error_code(ec)}});
    if (n == 0) co_return std::nullopt;
  }
}

asio::awaitable<std::expected<std::optional<Frame>, WireError>> Reader::next_frame() {
  return next_split<Frame>(frame::decode_frame);
}

asio::awaitable<std::expected<std::optional<EncodedFrame>, WireError>> Reader::next_encoded() {
  return next_split<EncodedFrame>(frame::split_frame);
}

std::optional<EncodedFrame> Reader::buffered_encoded() {
  const std::size_t held = buf.size();
  auto split = frame::split_frame(buf);
  if (!split || !*split) return std::nullopt;
  last_frame_ = held - buf.size();
  return std::move(*split);
}

asio::awaitable<std::expected<std::optional<Packet>, WireError>> Reader::next_packet() {
  if (abandoned(co_await asio::this_coro::cancellation_state)) co_return std::unexpected(aborted());
  auto f = co_await next_frame();
  if (!f) co_return std::unexpected(std::move(f.error()));
  if (!*f) co_return std::nullopt;
  auto packet = packet_of(std::move(**f));
  if (!packet) co_return std::unexpected(std::move(packet.error()));
  co_return std::move(*packet);
}

asio::awaitable<std::expected<Packet, WireError>> Reader::expect(std::chrono::milliseconds limit) {
  asio::steady_timer deadline(co_await asio::this_coro::executor, limit);
  if (abandoned(co_await asio::this_coro::cancellation_state)) co_return std::unexpected(aborted());
  auto raced = co_await (next_packet() || deadline.async_wait(use_tuple));

  if (raced.index() == 0) {
    auto& got = std::get<0>(raced);
    if (!got) co_return std::unexpected(std::move(got.error()));
    if (!*got) co_return std::unexpected(WireError{WireError::Closed{}});
    co_return std::move(**got);
  }
  // The deadline won, but a frame that is whole by now still counts.
  if (abandoned(co_await asio::this_coro::cancellation_state)) co_return std::unexpected(aborted());
  auto decoded = frame::decode_frame(buf);
  if (!decoded) co_return std::unexpected(WireError{WireError::Frame{decoded.error()}});
  if (*decoded) co_return packet_of(std::move(**decoded));
  co_return std::unexpected(WireError{WireError::Timeout{limit}});
}

}  // namespace quern_session::wire
