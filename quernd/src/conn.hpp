// A client connection's task: the hello exchange, the dispatch of each
// message of a welcomed client, and the close that lets the writer finish.
#pragma once

#include <memory>
#include <optional>

#include <boost/asio/awaitable.hpp>

#include "attach.hpp"
#include "outbound.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"
#include "sync.hpp"
#include "transport.hpp"

namespace quernd::daemon {
class Daemon;
}

namespace quernd::data_plane {
class WsTransport;
}

namespace quernd::conn {

namespace asio = boost::asio;
// Outbound, EncodedFrame, Frame and Task come from attach.hpp.

// Reads and throws away the reader's frames until its incoming side ends.
template <transport::FrameReader R>
asio::awaitable<void> drain_reader(R& reader) {
  for (;;) {
    // Kept out of the loop's condition: g++ 12 miscompiles a co_await there.
    std::optional<Frame> frame = co_await reader.next();
    if (!frame) co_return;
  }
}

// Handles one message of a welcomed client and gives the reply to queue, if
// any. The frame is the message's own, relayed to a shim as it arrived.
asio::awaitable<std::optional<EncodedFrame>> handle(const std::shared_ptr<daemon::Daemon>& daemon,
                                                    const std::shared_ptr<Outbound>& out, Attachments& attached,
                                                    quern_protocol::message::Message message, Frame frame,
                                                    bool on_data_plane, sync::Wake when = sync::Wake::later);

// The connection task of a client accepted on the daemon socket or the data
// plane: it runs the connection from its first frame to its end.
asio::awaitable<void> serve(std::shared_ptr<daemon::Daemon> daemon, transport::UnixStream transport);
asio::awaitable<void> serve(std::shared_ptr<daemon::Daemon> daemon, data_plane::WsTransport transport);

}  // namespace quernd::conn
