// The session's program: a child process on a fresh pty, leader of its own
// session with the pty as its controlling terminal.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace quern_shim {

struct LaunchPlan {
  std::vector<std::string> argv;  // not empty; argv[0] is looked up on PATH
  std::optional<std::string> cwd;
  std::map<std::string, std::string> env;  // added to the inherited environment
  std::uint16_t cols = 0;
  std::uint16_t rows = 0;
};

// How the program ended: an exit code or the number of the signal that ended it.
struct Ended {
  std::optional<std::int32_t> code;
  std::optional<std::int32_t> signal;
};

class Program {
 public:
  // Opens a pty, forks and execs the program on it. Fails with a text for the
  // report line when the pty cannot be made or the program cannot be started.
  static std::expected<Program, std::string> start(const LaunchPlan& plan);

  Program(Program&& other) noexcept;
  Program& operator=(Program&&) = delete;
  ~Program();

  pid_t pid() const { return pid_; }
  // The pty's master side, non-blocking and close-on-exec.
  int master() const { return master_; }
  // The terminal's device name under /dev, e.g. "pts/3".
  const std::string& tty() const { return tty_; }

  // Collects the program once it has ended; waits for nothing.
  std::optional<Ended> reap();
  // Sets the terminal's window size. Returns whether it changed: only then
  // does the kernel signal SIGWINCH to the terminal's foreground group.
  bool resize(std::uint16_t cols, std::uint16_t rows);
  // Signals SIGWINCH to the terminal's foreground process group, as a size
  // change would, so that a full-screen program draws its screen again.
  void redraw();

 private:
  Program(pid_t pid, int master, std::string tty) : pid_(pid), master_(master), tty_(std::move(tty)) {}

  pid_t pid_;
  int master_;
  std::string tty_;
  bool reaped_ = false;
};

}  // namespace quern_shim
