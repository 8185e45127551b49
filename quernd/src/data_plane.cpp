#include "data_plane.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/json/object.hpp>

#include "conn.hpp"
#include "await.hpp"
#include "peer_owner.hpp"
#include "quern_protocol/json_writer.hpp"
#include "quern_session/fd.hpp"

namespace quernd::data_plane {

using quern_session::ErrorKind;
using quern_session::Fd;

namespace {

bool of_this_user(const peer_owner::Owner& owner) { return !owner || *owner == ::geteuid(); }

}  // namespace

std::uint64_t millis_since_epoch(std::chrono::system_clock::time_point now) {
  const auto since = now.time_since_epoch();
  if (since < std::chrono::system_clock::duration::zero()) return 1;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

DataPlane::DataPlane(asio::ip::tcp::acceptor listener, Token token, Origins origins, std::uint64_t launched_at,
                     const Timings& timings)
    : listener_(std::move(listener)),
      token_(std::move(token)),
      origins_(std::move(origins)),
      launched_at_(launched_at),
      pending_(PENDING_UPGRADES),
      timing_(timings.ws),
      upgrade_limit_(timings.upgrade) {}

std::expected<DataPlane, OsError> DataPlane::bind(std::vector<std::string> origins, const asio::any_io_executor& ex,
                                                  const Timings& timings) {
  namespace ip = asio::ip;
  ip::tcp::acceptor listener(ex);
  boost::system::error_code ec;
  listener.open(ip::tcp::v4(), ec);
  if (!ec) quern_session::set_close_on_exec(listener.native_handle());
  if (!ec) listener.bind(ip::tcp::endpoint(ip::address_v4::loopback(), 0), ec);
  if (!ec) listener.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return std::unexpected(OsError::from_error_code(ec));

  const std::uint64_t launched_at = millis_since_epoch(std::chrono::system_clock::now());
  auto token = Token::generate();
  // The listener closes with this frame.
  if (!token) return std::unexpected(token.error());
  return DataPlane(std::move(listener), std::move(*token),
                   std::make_shared<const std::vector<std::string>>(std::move(origins)), launched_at, timings);
}

Endpoint DataPlane::endpoint() const {
  boost::system::error_code ec;
  const auto local = listener_.local_endpoint(ec);
  return Endpoint{token_.secret(), ec ? std::uint16_t{0} : local.port(), launched_at_};
}

std::string endpoint_json(const Endpoint& endpoint) {
  boost::json::object o;
  o["token"] = endpoint.token;
  o["port"] = endpoint.port;
  o["launched_at"] = endpoint.launched_at;
  return quern_protocol::json::write_compact(o);
}

std::expected<void, OsError> DataPlane::write_endpoint(const quern_session::paths::Runtime& runtime) const {
  const std::string text = endpoint_json(endpoint());
  const std::filesystem::path final_path = runtime.data_endpoint();
  std::filesystem::path temporary = final_path;
  temporary.replace_extension("tmp-" + std::to_string(::getpid()));

  // Whatever stands at the temporary name (a file of another mode, a link
  // planted there) is removed, and the file is created afresh, so that the
  // token only ever goes into a new file of our own.
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) return std::unexpected(OsError::last());
  Fd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0) return std::unexpected(OsError::last());
  // The umask cannot loosen 0600, but it could narrow it.
  if (::fchmod(file.get(), 0600) != 0) return std::unexpected(OsError::last());
  if (auto written = quern_session::write_all(file.get(), text); !written) return written;
  if (auto synced = quern_session::sync_to_device(file.get()); !synced) return synced;
  file.reset();
  if (::rename(temporary.c_str(), final_path.c_str()) != 0) return std::unexpected(OsError::last());
  return {};
}

asio::awaitable<std::expected<asio::ip::tcp::socket, boost::system::error_code>> DataPlane::accept() {
  for (;;) {
    auto [ec, socket] = co_await listener_.async_accept(use_tuple);
    if (ec) co_return std::unexpected(ec);
    // Only this user can read the token, so another user's connection is
    // closed before anything is read or written; one whose owner cannot be
    // told is served.
    if (!of_this_user(peer_owner::of_peer(socket.native_handle()))) continue;  // dropped, so closed
    // Shims and ps runs must not inherit a browser's connection.
    quern_session::set_close_on_exec(socket.native_handle());
    // Keystrokes and their echo are small: send them at once.
    boost::system::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    co_return std::move(socket);
  }
}

asio::awaitable<std::expected<WsTransport, OsError>> DataPlane::handshake(asio::ip::tcp::socket socket) const {
  // The port the Host header must name is the listener's as it is now.
  // Named, not a temporary: g++ 12 destroys a temporary argument of a
  // coroutine call inside co_await twice.
  Admission admission{origins_, token_, endpoint().port};
  const WsTiming timing = timing_;
  co_return co_await open_websocket(std::move(socket), std::move(admission), timing);
}

asio::awaitable<std::expected<WsTransport, OsError>> DataPlane::upgrade(asio::ip::tcp::socket socket) const {
  using namespace asio::experimental::awaitable_operators;
  auto permit = pending_.try_acquire();
  if (!permit) {
    boost::system::error_code ignored;
    socket.close(ignored);
    co_return std::unexpected(OsError::custom(ErrorKind::Other, "too many pending upgrades"));
  }
  asio::steady_timer limit(co_await asio::this_coro::executor, upgrade_limit_);
  // A handshake that runs out of time is abandoned, which closes its stream.
  auto first = co_await (handshake(std::move(socket)) || limit.async_wait(use_tuple));
  if (first.index() == 1) co_return std::unexpected(OsError::custom(ErrorKind::TimedOut, "upgrade timed out"));
  co_return std::move(std::get<0>(first));
}

asio::awaitable<void> data_plane_connection(std::shared_ptr<daemon::Daemon> daemon,
                                            std::shared_ptr<const DataPlane> plane, asio::ip::tcp::socket socket) {
  if (!plane) co_return;
  auto upgraded = co_await plane->upgrade(std::move(socket));
  if (!upgraded) co_return;
  co_await conn::serve(std::move(daemon), std::move(*upgraded));
}

}  // namespace quernd::data_plane
