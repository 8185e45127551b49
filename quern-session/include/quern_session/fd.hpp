// Owned descriptors and close-on-exec pipes for starting child processes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <expected>
#include <utility>

#include "quern_session/os_error.hpp"

namespace quern_session {

// A descriptor that is closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read;
  Fd write;
};

// A pipe whose ends are close-on-exec and above 2, so that setting up a
// child's standard streams cannot overwrite one of them.
inline std::expected<Pipe, OsError> make_pipe() {
  int fds[2];
#if defined(__linux__)
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(OsError::last());
#else
  if (::pipe(fds) != 0) return std::unexpected(OsError::last());
  for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
  Pipe pipe{Fd(fds[0]), Fd(fds[1])};
  for (Fd* end : {&pipe.read, &pipe.write}) {
    if (end->get() > 2) continue;
    int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return std::unexpected(OsError::last());
    *end = Fd(moved);
  }
  return pipe;
}

}  // namespace quern_session
