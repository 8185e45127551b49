// Taking over the daemon socket at start-up: the pid lock first, then the
// socket, when nothing answers on it any more.
#pragma once

#include <expected>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "failure.hpp"
#include "pid_lock.hpp"
#include "quern_session/paths.hpp"
#include "timings.hpp"

namespace quernd::daemon {

namespace asio = boost::asio;
using quern_session::paths::Runtime;

// The daemon socket's listener together with the pid lock.
struct Bound {
  asio::local::stream_protocol::acceptor listener;
  PidLock lock;
};

// Locks the runtime directory's pid file, then takes over the daemon socket
// when nothing answers on it: a stale socket file is removed, the listener
// bound (close-on-exec) and the file's mode set to 0600. Any other file at
// the path is left in place and fails the bind. On any failure a lock
// already taken has been released. The probe of the socket waits at most
// `probe_limit`.
asio::awaitable<std::expected<Bound, Failure>> bind(Runtime runtime, Duration probe_limit);

}  // namespace quernd::daemon
