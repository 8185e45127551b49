#include "pid_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "quern_session/fd.hpp"
#include "quern_session/paths.hpp"

namespace quernd::daemon {
namespace {

namespace fs = std::filesystem;
using quern_session::ErrorKind;
using quern_session::paths::display;

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

// Replaces the locked file's content with this process's pid and forces it
// to the device.
std::expected<void, OsError> write_pid(int fd) {
  if (::ftruncate(fd, 0) != 0) return std::unexpected(OsError::last());
  if (auto written = quern_session::write_all(fd, std::to_string(::getpid())); !written) return written;
  return quern_session::sync_to_device(fd);
}

}  // namespace

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

}  // namespace quernd::daemon
