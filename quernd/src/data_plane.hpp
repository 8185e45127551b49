// The browser data plane: a TCP listener on the IPv4 loopback address with
// its token, its allowed origins and its limit on upgrades in progress; the
// endpoint file through which local web clients learn its port and token;
// and the task that upgrades one accepted connection and serves it like a
// local client.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "quern_session/os_error.hpp"
#include "quern_session/paths.hpp"
#include "sync.hpp"
#include "timings.hpp"
#include "token.hpp"
#include "upgrade.hpp"
#include "ws_transport.hpp"

namespace quernd::daemon {
class Daemon;
}

namespace quernd::data_plane {

namespace asio = boost::asio;
using quern_session::OsError;

// Upgrades that may be in progress at once.
inline constexpr std::size_t PENDING_UPGRADES = 64;

// What the endpoint file tells a local web client.
struct Endpoint {
  std::string token;
  std::uint16_t port = 0;
  std::uint64_t launched_at = 0;
};

class DataPlane {
 public:
  // Binds the listener to 127.0.0.1 with a port that the system chooses and
  // draws this run's token. Of `timings` it keeps the browser connection's
  // clocks and the upgrade limit.
  static std::expected<DataPlane, OsError> bind(std::vector<std::string> origins, const asio::any_io_executor& ex,
                                                const Timings& timings);

  DataPlane(DataPlane&&) noexcept = default;

  // The listener's port (0 when it cannot be read), the token and the start.
  Endpoint endpoint() const;
  // Writes the endpoint file: compact JSON with its keys in order, no
  // newline, mode 0600, through a temporary file that is synced and renamed
  // over the final name.
  std::expected<void, OsError> write_endpoint(const quern_session::paths::Runtime& runtime) const;

  // The listener's next connection of this user, or of a user that cannot
  // be told, close-on-exec. Another user's connections are closed as they
  // come, unread and unanswered.
  asio::awaitable<std::expected<asio::ip::tcp::socket, boost::system::error_code>> accept();

  // The opening handshake of one connection, without admission limits.
  asio::awaitable<std::expected<WsTransport, OsError>> handshake(asio::ip::tcp::socket socket) const;
  // Admits the connection if fewer than 64 upgrades are in progress (else
  // closes it at once) and runs its handshake within the upgrade limit.
  asio::awaitable<std::expected<WsTransport, OsError>> upgrade(asio::ip::tcp::socket socket) const;

  const Token& token() const { return token_; }

 private:
  DataPlane(asio::ip::tcp::acceptor listener, Token token, Origins origins, std::uint64_t launched_at,
            const Timings& timings);

  asio::ip::tcp::acceptor listener_;
  Token token_;
  Origins origins_;
  std::uint64_t launched_at_;
  sync::Permits pending_;
  WsTiming timing_;
  Duration upgrade_limit_;
};

// Milliseconds since the Unix epoch at `now`; 1 before the epoch.
std::uint64_t millis_since_epoch(std::chrono::system_clock::time_point now);

// The endpoint file's text.
std::string endpoint_json(const Endpoint& endpoint);

// The task of one accepted data-plane connection: upgrade, then serve it
// like a local client with a lossy queue and the data-plane restrictions. A
// failed upgrade ends it silently.
asio::awaitable<void> data_plane_connection(std::shared_ptr<daemon::Daemon> daemon,
                                            std::shared_ptr<const DataPlane> plane, asio::ip::tcp::socket socket);

}  // namespace quernd::data_plane
