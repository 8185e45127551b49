// Child processes of tests: starting one, waiting for its end, one that is
// killed and reaped when it goes out of scope, and a copy of the test that
// runs as another user.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>


namespace quern_test_support {

// A file the child gets open on descriptor `fd` (created with mode 0600).
struct OpenAt {
  int fd;
  std::filesystem::path path;
  int flags;
};

// How to start a child. Its descriptors are set up dups first, then opens.
struct Spawn {
  std::vector<std::string> argv{};              // argv[0]: a path, or a name looked up on PATH
  std::optional<std::vector<std::string>> env{};  // "NAME=value" each; none: this process's environment
  std::vector<std::pair<int, int>> dups{};      // {from, to}: the test's `from` as the child's `to`
  std::vector<OpenAt> opens{};
  std::optional<std::filesystem::path> dir{};  // the child's working directory
  bool own_group = false;                    // leads a process group of its own
};

// Starts a child as `how` says; throws when it cannot be started.
pid_t spawn(const Spawn& how);

// The exit status of the child `pid` (128 + n after signal n) once it has
// ended, reaping it; none while it still runs after `timeout`; -1 when it
// cannot be waited for.
std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds timeout);

// Polls `done` every 10 ms until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// A child of the test, killed and reaped at the end if it still runs.
class Process {
 public:
  Process() = default;  // none yet
  explicit Process(const Spawn& how) : pid_(spawn(how)) {}
  Process(Process&& other) noexcept
      : pid_(std::exchange(other.pid_, -1)), status_(std::exchange(other.status_, std::nullopt)) {}
  Process& operator=(Process&& other) noexcept {
    if (this != &other) {
      end();
      pid_ = std::exchange(other.pid_, -1);
      status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
  }
  ~Process() { end(); }
  // Takes over a child that the test started itself.
  static Process adopt(pid_t pid) {
    Process p;
    p.pid_ = pid;
    return p;
  }

  pid_t pid() const { return pid_; }
  // As the free wait_exit; the status is kept for later calls.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  // Kills it (SIGKILL) and reaps it, unless it has been reaped already.
  void end();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Runs `body` in a forked copy of the test that has given up root for the
// user `uid` and the group `gid`, without supplementary groups; the child
// ends with the status `body` returns (1 when it throws, 125 when it cannot
// take the user). Only root can; `body` runs in a copy of the test without
// its other threads, so a test that runs threads keeps it to what is safe
// after a fork.
Process as_user(uid_t uid, gid_t gid, const std::function<int()>& body);

}  // namespace quern_test_support
