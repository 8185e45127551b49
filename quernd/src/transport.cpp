#include "transport.hpp"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace quernd::transport {

namespace wire = quern_session::wire;
using quern_protocol::Bytes;
using quern_session::OsError;

namespace {
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);
}  // namespace

asio::awaitable<std::expected<void, OsError>> write_frames(wire::WriteHalf& half,
                                                          std::span<const EncodedFrame> frames) {
  std::vector<iovec> iov;
  iov.reserve(2 * frames.size());
  for (const EncodedFrame& f : frames) {
    for (const Bytes* part : {&f.head, &f.payload}) {
      if (!part->empty()) iov.push_back({const_cast<std::uint8_t*>(part->data()), part->size()});
    }
  }
  const int fd = half.native_handle();
  std::size_t first = 0;
  while (first < iov.size()) {
    msghdr message{};
    message.msg_iov = iov.data() + first;
    message.msg_iovlen = std::min<std::size_t>(iov.size() - first, IOV_MAX);
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) co_return std::unexpected(OsError::last());
      // Full: wait until the socket takes more.
      auto [ec] = co_await half.async_wait_writable(use_tuple);
      if (ec) co_return std::unexpected(OsError::from_error_code(ec));
      continue;
    }
    if (n == 0)
      co_return std::unexpected(OsError::custom(quern_session::ErrorKind::Other, "failed to write whole buffer"));
    // Step past what went, part of an iovec included.
    auto left = static_cast<std::size_t>(n);
    while (left > 0) {
      if (left >= iov[first].iov_len) {
        left -= iov[first].iov_len;
        ++first;
      } else {
        iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
        iov[first].iov_len -= left;
        left = 0;
      }
    }
  }
  co_return std::expected<void, OsError>{};
}

asio::awaitable<std::expected<void, OsError>> write_frame(wire::WriteHalf& half, EncodedFrame frame) {
  co_return co_await write_frames(half, std::span<const EncodedFrame>(&frame, 1));
}

asio::awaitable<std::optional<Frame>> UnixReader::next() {
  // Every error ends the incoming side the same way as the end of the stream.
  auto frame = co_await reader_.next_frame();
  if (!frame || !*frame) co_return std::nullopt;
  co_return std::move(**frame);
}

asio::awaitable<bool> UnixWriter::write(EncodedFrame frame) {
  co_return (co_await write_frame(half_, std::move(frame))).has_value();
}

asio::awaitable<bool> UnixWriter::write_batch(std::span<const EncodedFrame> frames) {
  co_return (co_await write_frames(half_, frames)).has_value();
}

asio::awaitable<bool> UnixWriter::keepalive() {
  asio::steady_timer never(co_await asio::this_coro::executor,
                           asio::steady_timer::time_point::max());
  // Ends only when abandoned, which throws operation_aborted out of the wait.
  co_await never.async_wait(asio::use_awaitable);
  co_return true;
}

asio::awaitable<void> UnixWriter::overflow() && {
  wire::WriteHalf dropped = std::move(half_);
  co_return;
}

asio::awaitable<void> UnixWriter::finish() && {
  wire::WriteHalf dropped = std::move(half_);
  co_return;
}

std::pair<UnixReader, UnixWriter> UnixStream::split() && {
  auto [read_half, write_half] = wire::split(std::move(socket_));
  return {UnixReader(wire::Reader(std::move(read_half), wire::FIRST_BUFFER)),
          UnixWriter(std::move(write_half))};
}

}  // namespace quernd::transport
