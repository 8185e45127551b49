#include "quern_session/fd.hpp"

#include <fcntl.h>

#include <cerrno>

namespace quern_session {

std::expected<void, OsError> set_close_on_exec(int fd) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return std::unexpected(OsError::last());
  return {};
}

std::expected<void, OsError> write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (n == 0) return std::unexpected(OsError::custom(ErrorKind::Other, "failed to write whole buffer"));
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::expected<void, OsError> sync_to_device(int fd) {
#if defined(__APPLE__)
  // fsync leaves the data in the drive's cache on macOS.
  while (::fcntl(fd, F_FULLFSYNC) == -1) {
#else
  while (::fsync(fd) == -1) {
#endif
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
  return {};
}

}  // namespace quern_session
