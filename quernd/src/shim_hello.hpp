// The daemon's side of the handshake with a session's shim.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <expected>

#include "quern_protocol/frame.hpp"
#include "quern_session/os_error.hpp"
#include "quern_session/wire.hpp"
#include "timings.hpp"

namespace quernd::wire {

using quern_session::wire::Reader;
using quern_session::wire::Socket;
using quern_session::wire::WireError;
using quern_session::wire::write_frame;
using quern_session::wire::WriteHalf;

// A greeted shim: the frame reader over the read half (positioned after the
// welcome) and the write half. Dropping both closes the connection.
struct Connection {
  Reader reader;
  WriteHalf writer;
};

// Offers protocol version 1 with hello and waits up to `reply_limit` for a
// welcome. Nothing else about the peer is examined: not its version, not who
// it is.
boost::asio::awaitable<std::expected<Connection, WireError>> hello(Socket stream, Duration reply_limit);

}  // namespace quernd::wire
