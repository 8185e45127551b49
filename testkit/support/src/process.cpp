#include "quern_test_support/process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "quern_session/child.hpp"

extern char** environ;

namespace quern_test_support {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> out;
  for (auto& w : words) out.push_back(w.data());
  out.push_back(nullptr);
  return out;
}

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

pid_t spawn(const Spawn& how) {
  if (how.argv.empty()) throw std::invalid_argument("spawn: no program");
  std::vector<std::string> args = how.argv;
  std::vector<std::string> env = how.env.value_or(std::vector<std::string>{});
  std::vector<char*> argp = pointers(args);
  std::vector<char*> envp = pointers(env);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  for (const auto& [from, to] : how.dups) ::posix_spawn_file_actions_adddup2(&actions, from, to);
  for (const OpenAt& o : how.opens) ::posix_spawn_file_actions_addopen(&actions, o.fd, o.path.c_str(), o.flags, 0600);
  if (how.dir) ::posix_spawn_file_actions_addchdir_np(&actions, how.dir->c_str());
  posix_spawnattr_t attr;
  ::posix_spawnattr_init(&attr);
  if (how.own_group) {
    ::posix_spawnattr_setpgroup(&attr, 0);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  }
  pid_t pid = -1;
  // A name with a slash is taken as a path, others are looked up on PATH.
  const int rc = ::posix_spawnp(&pid, argp[0], &actions, &attr, argp.data(), how.env ? envp.data() : environ);
  ::posix_spawnattr_destroy(&attr);
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("posix_spawn " + args[0] + ": " + std::strerror(rc));
  return pid;
}

std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto state = quern_session::child::try_wait(pid);
    if (!state) return -1;
    if (*state) return exit_status(**state);
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
  if (!status_ && pid_ > 0) {
    auto s = quern_test_support::wait_exit(pid_, timeout);
    if (s) status_ = s;
  }
  return status_;
}

void Process::end() {
  if (status_ || pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  auto status = quern_session::child::wait(pid_);
  status_ = status ? exit_status(*status) : -1;
}

Process as_user(uid_t uid, gid_t gid, const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(125);
    int status = 1;
    try {
      status = body();
    } catch (...) {
    }
    // Nothing of the test's own (its atexit work, its buffered output) runs here.
    ::_exit(status);
  }
  return Process::adopt(pid);
}

}  // namespace quern_test_support
