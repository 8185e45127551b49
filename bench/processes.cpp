#include "processes.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quern_session/manifest.hpp"
#include "quern_session/procinfo.hpp"

extern char** environ;

namespace quern_bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& what, int err) {
  throw std::runtime_error(what + ": " + std::strerror(err));
}

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) fail("pipe", errno);
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  int read_end() const { return fds_[0]; }
  int write_end() const { return fds_[1]; }
  void close_read() { close(0); }
  void close_write() { close(1); }

 private:
  void close(int i) {
    if (fds_[i] >= 0) ::close(fds_[i]);
    fds_[i] = -1;
  }
  int fds_[2] = {-1, -1};
};

bool write_all(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// One line from `fd` within `limit`, without its newline.
std::string read_line(int fd, std::chrono::milliseconds limit) {
  std::string line;
  auto deadline = Clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) throw std::runtime_error("the shim did not report in time");
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') return line;
    line += c;
  }
}

bool is_same_process(pid_t pid, const quern_session::procinfo::StartTime& started) {
  auto now = quern_session::procinfo::start_time(pid);
  return now && *now == started;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, const Env& env, int stdin_fd, int stdout_fd) {
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& [n, v] : env) replaced = replaced || n == name;
    if (!replaced) entries.emplace_back(entry);
  }
  for (const auto& [n, v] : env) entries.push_back(n + "=" + v);

  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : entries) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  pid_t pid = -1;
  int err = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (err != 0) fail("cannot start " + argv[0], err);
  return pid;
}

bool reap(pid_t pid, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

void stop_child(pid_t pid, std::chrono::milliseconds grace) {
  ::kill(pid, SIGTERM);
  if (reap(pid, grace)) return;
  ::kill(pid, SIGKILL);
  reap(pid, 5s);
}

pid_t launch_shim(const std::filesystem::path& bin, const quern_session::paths::Runtime& runtime,
                  const std::string& id, const std::string& launch) {
  Pipe in, out;
  pid_t pid = spawn({bin.native(), "--id", id}, {{"QUERN_RUNTIME_DIR", runtime.root.native()}}, in.read_end(),
                    out.write_end());
  in.close_read();
  out.close_write();
  bool handed = write_all(in.write_end(), launch);
  in.close_write();
  std::string line = handed ? read_line(out.read_end(), 10s) : "cannot hand the shim its launch";
  if (line != "ok") {
    stop_child(pid, 1s);
    throw std::runtime_error("shim: " + line);
  }
  return pid;
}

std::vector<pid_t> live_shims(const quern_session::paths::Runtime& runtime) {
  std::vector<pid_t> out;
  auto listed = quern_session::manifest::Manifest::list(runtime);
  if (!listed) return out;
  for (const auto& m : listed->first) {
    if (m.shim_pid > 1 && is_same_process(m.shim_pid, m.started_at)) out.push_back(m.shim_pid);
  }
  return out;
}

void stop_shims(const quern_session::paths::Runtime& runtime, std::chrono::milliseconds grace) {
  auto listed = quern_session::manifest::Manifest::list(runtime);
  if (!listed) return;
  std::vector<quern_session::manifest::Manifest> running;
  for (const auto& m : listed->first) {
    if (m.shim_pid > 1 && is_same_process(m.shim_pid, m.started_at)) {
      ::kill(m.shim_pid, SIGTERM);
      running.push_back(m);
    }
  }
  // An ended shim stays visible until its parent has reaped it.
  auto deadline = Clock::now() + grace;
  for (const auto& m : running) {
    while (is_same_process(m.shim_pid, m.started_at) && Clock::now() < deadline) {
      ::waitpid(m.shim_pid, nullptr, WNOHANG);  // when it is our own child
      std::this_thread::sleep_for(10ms);
    }
    if (is_same_process(m.shim_pid, m.started_at)) ::kill(m.shim_pid, SIGKILL);
  }
}

}  // namespace quern_bench
