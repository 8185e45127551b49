#include "processes.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quern_session/manifest.hpp"
#include "frame_io.hpp"
#include "quern_session/procinfo.hpp"

extern char** environ;

namespace quern_bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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

// One line from `fd` within `limit`, without its newline; `who` names the
// writer when it does not come.
std::string read_line(int fd, std::chrono::milliseconds limit, const std::string& who = "the shim") {
  std::string line;
  auto deadline = Clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0)));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) throw std::runtime_error(who + " did not report in time");
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

Helper spawn_helper(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  Pipe in, out;
  Helper h;
  h.pid = spawn(argv, {}, in.read_end(), out.write_end());
  track(h.pid);
  in.close_read();
  out.close_write();
  h.input = ::fcntl(in.write_end(), F_DUPFD_CLOEXEC, 0);
  try {
    h.line = read_line(out.read_end(), limit, argv.size() > 1 ? argv[1] : argv[0]);
  } catch (...) {
    end_helper(h, 1s);
    throw;
  }
  return h;
}

void end_helper(Helper& h, std::chrono::milliseconds grace) {
  if (h.input >= 0) ::close(h.input);
  h.input = -1;
  if (h.pid <= 0) return;
  if (!reap(h.pid, grace)) stop_child(h.pid, 3s);
  untrack(h.pid);
  h.pid = -1;
}

pid_t start_daemon(const std::filesystem::path& bin, const std::filesystem::path& shim,
                   const quern_session::paths::Runtime& runtime, const std::vector<std::string>& args,
                   std::atomic<pid_t>& started) {
  std::vector<std::string> argv{bin.native()};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = spawn(argv, {{"QUERN_RUNTIME_DIR", runtime.root.native()}, {"QUERN_SESSION_BIN", shim.native()}});
  started = pid;
  auto deadline = Clock::now() + 10s;
  for (;;) {
    int fd = connect_unix(runtime.daemon_socket());
    if (fd >= 0) ::close(fd);
    if (fd >= 0 && std::filesystem::exists(runtime.data_endpoint())) return pid;
    if (reap(pid, 0ms)) {
      started = -1;
      throw std::runtime_error("quernd ended before it listened");
    }
    if (Clock::now() > deadline) throw std::runtime_error("quernd did not listen within 10 s");
    std::this_thread::sleep_for(10ms);
  }
}

namespace {
std::atomic<pid_t> g_tracked[16];
}  // namespace

void track(pid_t pid) {
  for (auto& slot : g_tracked) {
    pid_t none = 0;
    if (slot.compare_exchange_strong(none, pid)) return;
  }
}

void untrack(pid_t pid) {
  for (auto& slot : g_tracked) {
    pid_t p = pid;
    if (slot.compare_exchange_strong(p, 0)) return;
  }
}

void terminate_tracked() {
  for (auto& slot : g_tracked) {
    if (pid_t p = slot.load(); p > 0) ::kill(p, SIGTERM);
  }
}

// `name` as found on PATH; empty when it is not there.
std::filesystem::path on_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    std::string_view dir = rest.substr(0, rest.find(':'));
    rest.remove_prefix(std::min(rest.size(), dir.size() + 1));
    if (dir.empty()) continue;
    std::filesystem::path candidate = std::filesystem::path(dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
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
