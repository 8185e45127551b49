#include "quern_test_support/pty.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace quern_test_support {

Pty::Pty() {
  master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("posix_openpt");
  slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0) throw std::runtime_error("open pty slave");
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
}

Pty::~Pty() {
  ::close(slave);
  ::close(master);
}

void Pty::set_size(unsigned short cols, unsigned short rows) const {
  winsize ws{};
  ws.ws_col = cols;
  ws.ws_row = rows;
  ::ioctl(slave, TIOCSWINSZ, &ws);
}

termios Pty::modes() const {
  termios t{};
  ::tcgetattr(slave, &t);
  return t;
}

std::string Pty::drain() {
  std::string got = std::exchange(seen_, {});
  pollfd p{master, POLLIN, 0};
  while (::poll(&p, 1, 200) == 1 && read_some(got)) {
  }
  return got;
}

bool Pty::read_until(std::string_view needle, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (seen_.find(needle) == std::string::npos) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{master, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1 || !read_some(seen_)) return false;
  }
  seen_.erase(0, seen_.find(needle) + needle.size());
  return true;
}

bool Pty::read_some(std::string& into) const {
  char buf[4096];
  const ssize_t n = ::read(master, buf, sizeof buf);
  if (n <= 0) return false;
  into.append(buf, static_cast<std::size_t>(n));
  return true;
}

}  // namespace quern_test_support
