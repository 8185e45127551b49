// What the blocking test clients share: waiting on a descriptor with a
// deadline, and system errors as client errors.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <expected>
#include <span>

#include "quern_session/os_error.hpp"
#include "quern_testkit/client.hpp"

namespace quern_testkit::detail {

using Clock = std::chrono::steady_clock;

inline ClientError os_error(int err) {
  return {ClientError::Kind::Io, quern_session::OsError::from_errno(err).what(), err};
}

// Waits until `fd` is ready for `events` or the deadline passes.
inline std::expected<void, ClientError> wait_for(int fd, short events, Clock::time_point deadline) {
  while (true) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::unexpected(ClientError{ClientError::Kind::Timeout, "timed out"});
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r > 0) return {};
    if (r < 0 && errno != EINTR) return std::unexpected(os_error(errno));
  }
}

// Sends every byte before the deadline; a peer that has gone is Closed.
inline std::expected<void, ClientError> send_all(int fd, std::span<const std::uint8_t> bytes,
                                                 Clock::time_point deadline) {
  while (!bytes.empty()) {
    if (auto ready = wait_for(fd, POLLOUT, deadline); !ready) return ready;
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      if (errno == EPIPE || errno == ECONNRESET) {
        return std::unexpected(ClientError{ClientError::Kind::Closed, "peer closed the stream"});
      }
      return std::unexpected(os_error(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace quern_testkit::detail
