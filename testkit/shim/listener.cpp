#include "listener.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "quern_session/os_error.hpp"

namespace quern_shim {
namespace {

std::string os_text(int err) { return quern_session::OsError::from_errno(err).what(); }

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

enum class Probe { Answers, Nothing, Failed };

// Connects without waiting: a listener with a full backlog still answers.
Probe probe(const sockaddr_un& addr, int& err) {
  Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.get() < 0) {
    err = errno;
    return Probe::Failed;
  }
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return Probe::Answers;
  err = errno;
  if (err == EAGAIN || err == EINPROGRESS) return Probe::Answers;
  if (err == ECONNREFUSED || err == ENOENT) return Probe::Nothing;
  return Probe::Failed;
}

}  // namespace

std::expected<int, BindError> bind_session_socket(const std::filesystem::path& path) {
  const std::string& text = path.native();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (text.size() >= sizeof addr.sun_path) {
    return std::unexpected(BindError{false, "socket path too long: " + text});
  }
  std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);

  Fd dir(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || ::flock(dir.get(), LOCK_EX) != 0) {
    return std::unexpected(BindError{false, "cannot lock " + path.parent_path().native() + ": " + os_text(errno)});
  }

  int err = 0;
  switch (probe(addr, err)) {
    case Probe::Answers:
      return std::unexpected(BindError{true, text + ": another shim serves this pty"});
    case Probe::Failed:
      return std::unexpected(BindError{false, "cannot probe " + text + ": " + os_text(err)});
    case Probe::Nothing:
      break;
  }
  // Nothing listens: a stale socket file may be removed.
  if (::unlink(addr.sun_path) != 0 && errno != ENOENT) {
    return std::unexpected(BindError{false, "cannot remove stale " + text + ": " + os_text(errno)});
  }

  Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (s.get() < 0) return std::unexpected(BindError{false, "socket: " + os_text(errno)});
  if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return std::unexpected(BindError{false, "cannot bind " + text + ": " + os_text(errno)});
  }
  if (::chmod(addr.sun_path, 0600) != 0 || ::listen(s.get(), 64) != 0) {
    int e = errno;
    ::unlink(addr.sun_path);
    return std::unexpected(BindError{false, "cannot listen on " + text + ": " + os_text(e)});
  }
  return s.release();
}

}  // namespace quern_shim
