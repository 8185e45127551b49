#include "quern_test_support/socket.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace quern_test_support {

sockaddr_un unix_address(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long: " + path.native());
  std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
  return addr;
}

void dead_socket(const std::filesystem::path& path) {
  const sockaddr_un addr = unix_address(path);
  quern_session::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("bind " + path.native() + ": " + std::strerror(errno));
}

std::pair<quern_session::Fd, quern_session::Fd> socket_pair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  return {quern_session::Fd(fds[0]), quern_session::Fd(fds[1])};
}

}  // namespace quern_test_support
