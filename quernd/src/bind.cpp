#include "bind.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>
#include <variant>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/error_code.hpp>

#include "quern_session/fd.hpp"
#include "registry.hpp"

namespace quernd::daemon {
namespace {

namespace fs = std::filesystem;
using quern_session::paths::display;
using Local = asio::local::stream_protocol;

// A close-on-exec unix stream listener bound at `path`.
std::expected<Local::acceptor, OsError> listen_at(const asio::any_io_executor& ex, const fs::path& path) {
  if (path.native().size() >= sizeof(sockaddr_un{}.sun_path)) {
    return std::unexpected(OsError::from_errno(ENAMETOOLONG));
  }
  Local::acceptor acceptor(ex);
  boost::system::error_code ec;
  acceptor.open(Local(), ec);
  if (ec) return std::unexpected(OsError::from_error_code(ec));
  // Shims, ps and lsof must not inherit the listener.
  if (auto set = quern_session::set_close_on_exec(acceptor.native_handle()); !set) return std::unexpected(set.error());
  acceptor.bind(Local::endpoint(path.native()), ec);
  if (!ec) acceptor.listen(Local::acceptor::max_listen_connections, ec);
  if (ec) return std::unexpected(OsError::from_error_code(ec));
  return acceptor;
}

// What a file that is not a socket is, as "a directory".
std::string kind_of(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a directory";
    case S_IFLNK: return "a symbolic link";
    case S_IFIFO: return "a named pipe";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    default: return "a file of unknown type";
  }
}

}  // namespace

asio::awaitable<std::expected<Bound, Failure>> bind(Runtime runtime, Duration probe_limit) {
  // Every failure below returns through `lock`'s destructor, which releases it.
  auto lock = lock_pid_file(runtime.daemon_pid_file());
  if (!lock) co_return std::unexpected(std::move(lock.error()));

  const fs::path path = runtime.daemon_socket();
  const std::string shown = display(path);
  {
    auto probed = co_await registry::probe(path, probe_limit);
    if (probed.is<registry::Probe::Live>()) {
      co_return std::unexpected(Failure{"a daemon already answers at " + shown, {}});
    }
    if (auto* failed = std::get_if<registry::Probe::Failed>(&probed.value)) {
      co_return std::unexpected(Failure{"cannot probe " + shown + ": " + failed->error.what(), {}});
    }
  }

  // Nothing listens: a stale socket file is removed. Anything else at the
  // path is left as it is, and named; a path that cannot be looked at is
  // left to the bind to report.
  if (struct stat st {}; ::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      co_return std::unexpected(
          Failure{"bind " + shown, {"a file that is not a socket is in the way: " + kind_of(st.st_mode)}});
    }
    ::unlink(path.c_str());
  }
  auto listener = listen_at(co_await asio::this_coro::executor, path);
  if (!listener) co_return std::unexpected(Failure::os(listener.error()).context("bind " + shown));
  if (::chmod(path.c_str(), 0600) != 0) co_return std::unexpected(Failure::os(OsError::last()));
  co_return Bound{std::move(*listener), std::move(*lock)};
}

}  // namespace quernd::daemon
