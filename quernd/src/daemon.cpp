#include "daemon.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <variant>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace quernd::daemon {
namespace {

namespace fs = std::filesystem;
using quern_session::ErrorKind;
using quern_session::paths::display;
using Local = asio::local::stream_protocol;

// Appends `text` with every line after its first indented by `indent`.
void append_indented(std::string& out, std::string_view text, std::string_view indent) {
  for (std::size_t start = 0;;) {
    std::size_t end = text.find('\n', start);
    out.append(text.substr(start, end - start));
    if (end == std::string_view::npos) return;
    out += '\n';
    out.append(indent);
    start = end + 1;
  }
}

// The symbolic name and the description of an error number, as in
// "EAGAIN: Try again". The numbers a refused flock can give have fixed texts.
std::string errno_text(int err) {
  struct Known {
    int number;
    const char* name;
    const char* description;
  };
  static constexpr std::array<Known, 5> known{{
      {EWOULDBLOCK, "EAGAIN", "Try again"},
      {EBADF, "EBADF", "Bad file number"},
      {EINTR, "EINTR", "Interrupted system call"},
      {EINVAL, "EINVAL", "Invalid argument"},
      {ENOLCK, "ENOLCK", "No record locks available"},
  }};
  for (const Known& k : known) {
    if (k.number == err) return std::string(k.name) + ": " + k.description;
  }
  return std::string("UnknownErrno: ") + std::strerror(err);
}

std::expected<void, OsError> write_all(int fd, std::string_view text) {
  off_t offset = 0;
  while (!text.empty()) {
    ssize_t n = ::pwrite(fd, text.data(), text.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (n == 0) return std::unexpected(OsError::custom(ErrorKind::Other, "failed to write whole buffer"));
    text.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  return {};
}

// Replaces the locked file's content with this process's pid and forces it
// to the device.
std::expected<void, OsError> write_pid(int fd) {
  if (::ftruncate(fd, 0) != 0) return std::unexpected(OsError::last());
  if (auto written = write_all(fd, std::to_string(::getpid())); !written) return written;
#if defined(__APPLE__)
  // fsync leaves the data in the drive's cache on macOS.
  if (::fcntl(fd, F_FULLFSYNC) != 0) return std::unexpected(OsError::last());
#else
  if (::fsync(fd) != 0) return std::unexpected(OsError::last());
#endif
  return {};
}

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
  if (::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC) != 0) return std::unexpected(OsError::last());
  acceptor.bind(Local::endpoint(path.native()), ec);
  if (!ec) acceptor.listen(Local::acceptor::max_listen_connections, ec);
  if (ec) return std::unexpected(OsError::from_error_code(ec));
  return acceptor;
}

asio::awaitable<void> join_all(std::vector<Task> chains) {
  for (const Task& chain : chains) co_await chain.join();
}

}  // namespace

Failure Failure::context(std::string phrase) const {
  Failure wrapped{std::move(phrase), {}};
  wrapped.causes.reserve(causes.size() + 1);
  wrapped.causes.push_back(text);
  wrapped.causes.insert(wrapped.causes.end(), causes.begin(), causes.end());
  return wrapped;
}

std::string report(const Failure& failure) {
  std::string out = "Error: " + failure.text;
  if (!failure.causes.empty()) {
    out += "\n\nCaused by:";
    const bool numbered = failure.causes.size() > 1;
    for (std::size_t i = 0; i < failure.causes.size(); ++i) {
      out += '\n';
      if (numbered) {
        std::string index = std::to_string(i);
        out.append(index.size() < 5 ? 5 - index.size() : 0, ' ');
        out += index + ": ";
        append_indented(out, failure.causes[i], "       ");
      } else {
        out += "    ";
        append_indented(out, failure.causes[i], "    ");
      }
    }
  }
  out += '\n';
  return out;
}

PidLock& PidLock::operator=(PidLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void PidLock::release() noexcept {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

std::expected<std::optional<PidLock>, Failure> lock_at(int fd, const fs::path& path) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    return std::unexpected(
        Failure{"pid file " + display(path) + " is held by another daemon (" + errno_text(err) + ")", {}});
  }
  // From here on, returning without the lock unlocks and closes the file.
  PidLock lock(fd);

  struct stat by_path {};
  if (::stat(path.c_str(), &by_path) != 0) {
    const OsError error = OsError::last();
    if (error.kind() == ErrorKind::NotFound) return std::optional<PidLock>{};
    return std::unexpected(Failure::os(error));
  }
  struct stat by_fd {};
  if (::fstat(fd, &by_fd) != 0) return std::unexpected(Failure::os(OsError::last()));
  // Removed or replaced between our open and our lock: the lock is on a
  // file nobody else will look at.
  if (by_path.st_dev != by_fd.st_dev || by_path.st_ino != by_fd.st_ino) return std::optional<PidLock>{};
  return std::optional<PidLock>(std::move(lock));
}

std::expected<PidLock, Failure> lock_pid_file(const fs::path& path, const std::function<void()>& before_lock) {
  for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
    // No O_TRUNC: the content belongs to whoever holds the lock.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return std::unexpected(Failure::os(OsError::last()).context("pid file " + display(path)));
    if (before_lock) before_lock();
    auto locked = lock_at(fd, path);
    if (!locked) return std::unexpected(std::move(locked.error()));
    if (!*locked) continue;
    PidLock lock = std::move(**locked);
    // A failure drops the lock on the way out.
    if (auto written = write_pid(lock.native_handle()); !written) {
      return std::unexpected(Failure::os(written.error()));
    }
    return lock;
  }
  return std::unexpected(Failure{"pid file " + display(path) + " keeps changing under us", {}});
}

asio::awaitable<std::expected<Bound, Failure>> bind(Runtime runtime) {
  // Every failure below returns through `lock`'s destructor, which releases it.
  auto lock = lock_pid_file(runtime.daemon_pid_file());
  if (!lock) co_return std::unexpected(std::move(lock.error()));

  const fs::path path = runtime.daemon_socket();
  const std::string shown = display(path);
  {
    auto probed = co_await registry::probe(path);
    if (probed.is<registry::Probe::Live>()) {
      co_return std::unexpected(Failure{"a daemon already answers at " + shown, {}});
    }
    if (auto* failed = std::get_if<registry::Probe::Failed>(&probed.value)) {
      co_return std::unexpected(Failure{"cannot probe " + shown + ": " + failed->error.what(), {}});
    }
  }

  // Nothing listens: a stale socket file may be removed. Anything else at
  // the path stays, and the bind below fails on it.
  if (struct stat st {}; ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  auto listener = listen_at(co_await asio::this_coro::executor, path);
  if (!listener) co_return std::unexpected(Failure::os(listener.error()).context("bind " + shown));
  if (::chmod(path.c_str(), 0600) != 0) co_return std::unexpected(Failure::os(OsError::last()));
  co_return Bound{std::move(*listener), std::move(*lock)};
}

asio::awaitable<void> drain(std::vector<Task> chains) {
  using namespace asio::experimental::awaitable_operators;
  if (chains.empty()) co_return;
  asio::steady_timer limit(co_await asio::this_coro::executor, DRAIN_LIMIT);
  // Running out drops the handles not yet awaited; their tasks run on.
  auto first = co_await (join_all(std::move(chains)) || limit.async_wait(asio::as_tuple(asio::use_awaitable)));
  if (first.index() == 1) std::cerr << "quernd: shutdown with kill chains still in flight\n" << std::flush;
}

std::optional<std::string> outcome_line(const PtyId& id, const KillOutcome& outcome) {
  if (const auto* survivors = std::get_if<supervisor::Survivors>(&outcome)) {
    std::string list;
    for (std::int32_t pid : survivors->pids) {
      if (!list.empty()) list += ", ";
      list += std::to_string(pid);
    }
    return "quernd: close " + id.text + ": survivors [" + list + "]\n";
  }
  if (std::holds_alternative<supervisor::Unknown>(outcome)) {
    return "quernd: close " + id.text + ": outcome unknown\n";
  }
  return std::nullopt;
}

}  // namespace quernd::daemon
