// The pid-file lock that makes a daemon the only one for its runtime
// directory: the file, held open under an exclusive advisory lock, with this
// process's pid in it.
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>

#include "failure.hpp"

namespace quernd::daemon {

// Attempts at opening and locking a pid file that keeps being replaced.
inline constexpr int LOCK_ATTEMPTS = 8;

// The pid file, held open under an exclusive advisory lock. Dropping it
// unlocks the file, then closes it; the file itself stays.
class PidLock {
 public:
  // Takes over `fd`, which the caller has locked.
  explicit PidLock(int fd) noexcept : fd_(fd) {}
  PidLock(PidLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  PidLock& operator=(PidLock&& other) noexcept;
  PidLock(const PidLock&) = delete;
  PidLock& operator=(const PidLock&) = delete;
  ~PidLock() { release(); }

  int native_handle() const noexcept { return fd_; }

 private:
  void release() noexcept;
  int fd_ = -1;
};

// Locks the open file `fd` (taken over in every case) without waiting and
// checks that `path` still names it. None when the path names no file or
// another file by now: the lock has been removed and the file closed, and
// the caller may open the path again. On an error the file has been closed.
std::expected<std::optional<PidLock>, Failure> lock_at(int fd, const std::filesystem::path& path);

// Opens the pid file at `path` (created with mode 0600 when missing, never
// truncated before it is locked), locks it and writes this process's pid
// into it, synced to the device. `before_lock`, when given, runs between each
// open and its lock, so that tests can replace the file at that moment.
std::expected<PidLock, Failure> lock_pid_file(const std::filesystem::path& path,
                                              const std::function<void()>& before_lock = {});

}  // namespace quernd::daemon
