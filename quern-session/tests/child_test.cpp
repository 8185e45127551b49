#include "quern_session/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace quern_session::child {
namespace {

using namespace std::chrono_literals;

// Everything until the end.
std::string read_all(Fd& fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// A wait status in words: "exit N" or "signal N".
std::string describe(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

struct Ran {
  std::string status;
  std::string out;
};

// Runs `command` to its end with its standard output captured.
Ran run(Command command) {
  command.stdio[STDOUT_FILENO] = Stdio::Pipe;
  auto spawned = spawn(command);
  if (!spawned) return {"spawn: " + spawned.error().what(), ""};
  std::string out = read_all(spawned->pipes[STDOUT_FILENO]);
  auto status = wait(spawned->pid);
  if (!status) return {"wait: " + status.error().what(), out};
  return {describe(*status), out};
}

std::vector<std::string> sh(std::string script) { return {"sh", "-c", std::move(script)}; }

TEST(Spawn, RunsTheCommandWithTheChosenStreams) {
  // An inheritable descriptor that somebody forgot to mark close-on-exec.
  constexpr int LEAKY = 100;
  int null = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(null, 0);
  ASSERT_EQ(::dup2(null, LEAKY), LEAKY);
  ::close(null);
  const std::string own_stderr = std::filesystem::read_symlink("/proc/self/fd/2").string();

  struct Case {
    const char* name;
    Command command;
    Ran want;
  } cases[] = {
      {"exit status", {.argv = sh("exit 7")}, {"exit 7", ""}},
      {"killed by a signal", {.argv = sh("kill -TERM $$")}, {"signal 15", ""}},
      {"only 0, 1 and 2 reach the child",
       {.argv = sh("for f in 0 1 2 " + std::to_string(LEAKY) +
                   "; do [ -e /proc/$$/fd/$f ] && printf '%s ' $f; done; true"),
        .stdio = {Stdio::Null, Stdio::Pipe, Stdio::Null}},
       {"exit 0", "0 1 2 "}},
      {"stdin on /dev/null",
       {.argv = sh("if read x; then echo line; else echo end; fi"), .stdio = {Stdio::Null}},
       {"exit 0", "end\n"}},
      {"stderr on /dev/null",
       {.argv = sh("echo lost >&2; readlink /proc/$$/fd/2"), .stdio = {Stdio::Inherit, Stdio::Pipe, Stdio::Null}},
       {"exit 0", "/dev/null\n"}},
      {"stderr inherited", {.argv = sh("readlink /proc/$$/fd/2")}, {"exit 0", own_stderr + "\n"}},
      {"the environment given, and nothing else",
       {.argv = sh("printf '%s|%s' \"$GREETING\" \"${HOME-unset}\""), .env = std::vector<std::string>{"GREETING=hi"}},
       {"exit 0", "hi|unset"}},
      {"a path, not searched for",
       {.argv = {"/bin/sh", "-c", "printf '%s' \"$0\""}, .search_path = false},
       {"exit 0", "/bin/sh"}},
  };
  for (const Case& c : cases) {
    Ran got = run(c.command);
    EXPECT_EQ(got.status, c.want.status) << c.name;
    EXPECT_EQ(got.out, c.want.out) << c.name;
  }
  ::close(LEAKY);
}

TEST(Spawn, ChildHasDefaultSigpipeAndNothingBlocked) {
  // Whatever this process does with the signal, the child dies of it.
  struct Case {
    int signal;
    bool block;  // blocked here; otherwise ignored here
  } cases[] = {{SIGPIPE, false}, {SIGPIPE, true}, {SIGUSR1, true}};
  for (const Case& c : cases) {
    sigset_t set, saved_mask;
    sigemptyset(&set);
    sigaddset(&set, c.signal);
    struct sigaction ignore {}, saved_action{};
    ignore.sa_handler = SIG_IGN;
    if (c.block) {
      ASSERT_EQ(::sigprocmask(SIG_BLOCK, &set, &saved_mask), 0);
    } else {
      ASSERT_EQ(::sigaction(c.signal, &ignore, &saved_action), 0);
    }
    Ran got = run({.argv = sh("kill -" + std::to_string(c.signal) + " $$; exit 0")});
    if (c.block) {
      ASSERT_EQ(::sigprocmask(SIG_SETMASK, &saved_mask, nullptr), 0);
    } else {
      ASSERT_EQ(::sigaction(c.signal, &saved_action, nullptr), 0);
    }
    EXPECT_EQ(got.status, "signal " + std::to_string(c.signal)) << c.signal << (c.block ? " blocked" : " ignored");
  }
}

TEST(Spawn, FailureIsAnErrorAndLeavesNoChild) {
  struct Case {
    const char* name;
    Command command;
    ErrorKind kind;
  } cases[] = {
      {"no program", {}, ErrorKind::InvalidInput},
      {"not on PATH", {.argv = {"no-such-program-quern-test"}}, ErrorKind::NotFound},
      {"no such path", {.argv = {"/no/such/program"}, .search_path = false}, ErrorKind::NotFound},
      // Without the search a bare name is a path in the working directory.
      {"a bare name not searched for", {.argv = {"sh", "-c", "true"}, .search_path = false}, ErrorKind::NotFound},
      {"not executable", {.argv = {"/dev/null"}, .search_path = false}, ErrorKind::PermissionDenied},
  };
  for (const Case& c : cases) {
    auto spawned = spawn(c.command);
    ASSERT_FALSE(spawned) << c.name;
    EXPECT_EQ(spawned.error().kind(), c.kind) << c.name << ": " << spawned.error().what();
  }
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(TryWait, SaysRunningThenGivesTheStatusOnce) {
  // The child runs until its input ends: only our end of the pipe holds it open.
  auto spawned = spawn({.argv = sh("read x; exit 5"), .stdio = {Stdio::Pipe}});
  ASSERT_TRUE(spawned) << spawned.error().what();
  const pid_t pid = spawned->pid;
  auto first = try_wait(pid);
  ASSERT_TRUE(first) << first.error().what();
  EXPECT_EQ(*first, std::nullopt);

  spawned->pipes[STDIN_FILENO].reset();
  std::expected<std::optional<int>, OsError> state = std::optional<int>{};
  for (auto until = std::chrono::steady_clock::now() + 5s;
       state && !*state && std::chrono::steady_clock::now() < until;) {
    std::this_thread::sleep_for(5ms);
    state = try_wait(pid);
  }
  ASSERT_TRUE(state) << state.error().what();
  ASSERT_TRUE(*state) << "the child did not end";
  EXPECT_EQ(describe(**state), "exit 5");

  auto again = try_wait(pid);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().raw_os_error(), ECHILD);
}

TEST(TryWait, NeverWaitsForAnyChildOrAGroup) {
  // An exited child that is not asked about by its pid keeps its status.
  auto spawned = spawn({.argv = {"true"}});
  ASSERT_TRUE(spawned) << spawned.error().what();
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(spawned->pid), &info, WEXITED | WNOWAIT), 0);

  for (pid_t pid : {0, -1, -::getpgrp()}) {
    EXPECT_FALSE(try_wait(pid)) << pid;
    EXPECT_FALSE(wait(pid)) << pid;
  }
  auto status = wait(spawned->pid);
  ASSERT_TRUE(status) << status.error().what();
  EXPECT_EQ(describe(*status), "exit 0");
}

}  // namespace
}  // namespace quern_session::child
