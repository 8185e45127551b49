#include "program.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "quern_session/os_error.hpp"

extern char** environ;

namespace quern_shim {
namespace {

std::string os_text(int err) { return quern_session::OsError::from_errno(err).what(); }

bool set_fd_flag(int fd, int flag) {
  int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags | flag) == 0;
}

bool set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The inherited environment with the plan's entries added or replaced.
std::vector<std::string> merged_environment(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('='));
    if (!extra.contains(std::string(name))) out.emplace_back(entry);
  }
  for (const auto& [name, value] : extra) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
  std::vector<char*> out;
  for (auto& s : v) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// What the child tells the parent through the status pipe when it fails
// before exec: the step and its errno.
struct ChildFailure {
  int step;
  int err;
};
enum Step : int { kSetsid, kControllingTty, kDup, kChdir, kExec };

[[noreturn]] void child_failed(int status_fd, Step step) {
  ChildFailure f{step, errno};
  (void)!::write(status_fd, &f, sizeof f);
  ::_exit(127);
}

// In the forked child: only async-signal-safe calls from here on.
[[noreturn]] void exec_child(int slave, int status_fd, const char* cwd, char** argv, char** envp) {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);  // the shim ignores it; the program must not

  if (::setsid() < 0) child_failed(status_fd, kSetsid);
  if (::ioctl(slave, TIOCSCTTY, 0) < 0) child_failed(status_fd, kControllingTty);
  for (int fd = 0; fd <= 2; ++fd) {
    if (::dup2(slave, fd) < 0) child_failed(status_fd, kDup);
  }
  if (slave > 2) ::close(slave);
  // Descriptors the shim inherited without close-on-exec stay out of the session too.
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  if (cwd != nullptr && ::chdir(cwd) < 0) child_failed(status_fd, kChdir);
  environ = envp;
  ::execvp(argv[0], argv);
  child_failed(status_fd, kExec);
}

}  // namespace

std::expected<Program, std::string> Program::start(const LaunchPlan& plan) {
  if (plan.argv.empty()) return std::unexpected("no program to start");

  // Everything the child needs is built before the fork.
  std::vector<std::string> args = plan.argv;
  std::vector<std::string> env = merged_environment(plan.env);
  std::vector<char*> argv = c_strings(args);
  std::vector<char*> envp = c_strings(env);

  winsize size{};
  size.ws_col = plan.cols;
  size.ws_row = plan.rows;
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
    return std::unexpected("openpty: " + os_text(errno));
  }
  char name[128];
  int name_err = ::ttyname_r(slave, name, sizeof name);
  if (name_err != 0 || !set_fd_flag(master, FD_CLOEXEC) || !set_fd_flag(slave, FD_CLOEXEC) ||
      !set_nonblocking(master)) {
    int err = name_err != 0 ? name_err : errno;
    ::close(master);
    ::close(slave);
    return std::unexpected("preparing the pty: " + os_text(err));
  }
  std::string tty = name;
  if (tty.starts_with("/dev/")) tty.erase(0, 5);

  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) {
    int err = errno;
    ::close(master);
    ::close(slave);
    return std::unexpected("pipe: " + os_text(err));
  }

  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(master);
    ::close(status[0]);
    exec_child(slave, status[1], plan.cwd ? plan.cwd->c_str() : nullptr, argv.data(), envp.data());
  }
  int fork_err = errno;
  ::close(slave);
  ::close(status[1]);
  if (pid < 0) {
    ::close(master);
    ::close(status[0]);
    return std::unexpected("fork: " + os_text(fork_err));
  }

  // The status pipe closes on a successful exec; a failed step writes its record.
  ChildFailure failure{};
  ssize_t n;
  do {
    n = ::read(status[0], &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  ::close(status[0]);
  if (n == static_cast<ssize_t>(sizeof failure)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    ::close(master);
    std::string err = os_text(failure.err);
    switch (failure.step) {
      case kExec: return std::unexpected("cannot start " + plan.argv[0] + ": " + err);
      case kChdir: return std::unexpected("cannot enter " + *plan.cwd + ": " + err);
      case kSetsid: return std::unexpected("setsid: " + err);
      case kControllingTty: return std::unexpected("TIOCSCTTY: " + err);
      default: return std::unexpected("dup2: " + err);
    }
  }
  return Program(pid, master, std::move(tty));
}

Program::Program(Program&& other) noexcept
    : pid_(other.pid_), master_(other.master_), tty_(std::move(other.tty_)), reaped_(other.reaped_) {
  other.master_ = -1;
  other.reaped_ = true;
}

Program::~Program() {
  // Closing the master hangs up the terminal: the program gets SIGHUP.
  if (master_ >= 0) ::close(master_);
}

std::optional<Ended> Program::reap() {
  if (reaped_) return std::nullopt;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return std::nullopt;
  reaped_ = true;
  if (WIFEXITED(status)) return Ended{WEXITSTATUS(status), std::nullopt};
  return Ended{std::nullopt, WTERMSIG(status)};
}

bool Program::resize(std::uint16_t cols, std::uint16_t rows) {
  winsize before{};
  if (::ioctl(master_, TIOCGWINSZ, &before) != 0) return false;
  winsize size{};
  size.ws_col = cols;
  size.ws_row = rows;
  if (std::memcmp(&before, &size, sizeof size) == 0) return false;  // as the kernel compares them
  return ::ioctl(master_, TIOCSWINSZ, &size) == 0;
}

void Program::redraw() {
  pid_t group = ::tcgetpgrp(master_);
  if (group > 0) ::killpg(group, SIGWINCH);
}

}  // namespace quern_shim
