// The schedule of PsSupervisor::kill_tree: on a real process tree built on a pty of
// the test's own, and with stand-ins for ps and lsof that print what each
// look should see.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon.hpp"
#include "quern_test_support/runtime.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/capture.hpp"
#include "quern_test_support/env.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/shell_tree.hpp"
#include "supervisor.hpp"
#include "timings.hpp"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace quernd::supervisor;
using namespace quernd::supervisor::ps;

// A tenth of the product's schedule, for the tests whose processes end by
// SIGKILL alone. A shell that is to take its SIGHUP is given the product's
// pause, however busy the machine.
const quernd::KillSchedule SHORT_SCHEDULE{
    .hangup_pause = 100ms, .round_waits = {30ms, 70ms, 150ms, 250ms}, .settle = 30ms};

KillOutcome kill_tree(const TreeRoot& root, const quernd::KillSchedule& schedule) {
  asio::io_context io;
  PsSupervisor supervisor(std::make_shared<Abandoned>(), schedule);
  return quern_test_support::run(io, supervisor.kill_tree(root));
}

// How a child of ours ended: the signal that killed it, 0 for an exit, none
// while it still runs. A pid that is not our child counts as ended once it
// is gone.
std::optional<int> ended(pid_t pid, std::chrono::milliseconds patience = 2000ms) {
  const auto until = std::chrono::steady_clock::now() + patience;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (r < 0 && ::kill(pid, 0) != 0) return 0;
    if (std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(10ms);
  }
}

bool running(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

// `sleep 30` in a process group of its own.
pid_t spawn_sleeper() { return quern_test_support::spawn({.argv = {"sleep", "30"}, .own_group = true}); }

using quern_test_support::TempDir;

// ---------------------------------------------------------------- a real session

enum class ShellRecord { Recorded, Missing, OtherProcess };

void PrintTo(ShellRecord r, std::ostream* os) {
  *os << (r == ShellRecord::Recorded ? "recorded" : r == ShellRecord::Missing ? "no start time" : "another start time");
}

// A session of our own on a fresh pty, whose shell notes a SIGHUP in a file.
class RealSession : public ::testing::TestWithParam<ShellRecord> {
 protected:
  TreeRoot root() const {
    TreeRoot r;
    r.started_at = quern_session::procinfo::start_time(tree_.shim);
    r.tty = tree_.tty;
    r.shell_pid = tree_.shell;
    r.pgid = tree_.shell;
    r.shim_pid = tree_.shim;
    auto started = quern_session::procinfo::start_time(tree_.shell);
    EXPECT_TRUE(started);
    if (GetParam() == ShellRecord::Recorded) r.shell_started_at = started;
    if (GetParam() == ShellRecord::OtherProcess) r.shell_started_at = StartTime{started->secs + 1, started->micros};
    return r;
  }

  TempDir dir_;
  fs::path hup_file_ = dir_.path / "hup";
  quern_test_support::ShellTree tree_{"trap 'echo hup > \"" + hup_file_.string() + "\"; exit 0' HUP\n"};
};

TEST_P(RealSession, WholeTreeEndsAndNothingElseIsTouched) {
  EXPECT_EQ(kill_tree(root(), quernd::Timings::product().kill), KillOutcome(Clean{}));

  // SIGHUP reaches the shell only when it is the process the manifest recorded.
  EXPECT_EQ(fs::exists(hup_file_), GetParam() == ShellRecord::Recorded);
  for (const auto& [name, pid] : tree_.pids) {
    auto how = ended(pid);
    ASSERT_TRUE(how) << name << " still runs";
#if defined(__linux__)
    // Off the shell's group and session, only the rounds of SIGKILL reach it.
    if (name == "grandchild") { EXPECT_EQ(*how, SIGKILL); }
#endif
  }
  EXPECT_TRUE(ended(tree_.shell));
  EXPECT_TRUE(running(tree_.shim)) << "the shim was signalled";
}

INSTANTIATE_TEST_SUITE_P(Shell, RealSession,
                         ::testing::Values(ShellRecord::Recorded, ShellRecord::Missing, ShellRecord::OtherProcess),
                         [](const auto& info) {
                           switch (info.param) {
                             case ShellRecord::Recorded: return "Recorded";
                             case ShellRecord::Missing: return "NoStartTime";
                             case ShellRecord::OtherProcess: return "AnotherStartTime";
                           }
                           return "";
                         });

// ---------------------------------------------------------------- a stale root

// A root whose shim pid is a decoy of ours and whose terminal belongs to
// another process of ours, a sleeper on a fresh pty. Only when the decoy has
// the recorded start time does the terminal count as the session's.
TEST(StaleRoot, TerminalCountsOnlyWhileTheShimHasItsRecordedStartTime) {
  struct Case {
    const char* name;
    std::int64_t shift;  // seconds added to the decoy's start time in the root
    bool terminal_killed;
  };
  const Case cases[] = {
      {"the recorded shim", 0, true},
      {"its pid now another process", 1, false},
  };
  for (const Case& c : cases) {
    int master = -1;
    char name[256] = {};
    const pid_t on_terminal = ::forkpty(&master, name, nullptr, nullptr);
    ASSERT_GE(on_terminal, 0) << "forkpty failed";
    if (on_terminal == 0) {
      ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    const pid_t decoy = spawn_sleeper();
    // The chain looks with ps, which shows the terminal once the child has
    // made it its controlling terminal.
    const std::string pid_text = std::to_string(on_terminal);
    EXPECT_TRUE(quern_test_support::eventually(
        [&] { return quern_session::procinfo::command_text({"ps", "-o", "tty=", "-p", pid_text}) == name + 5; }, 10s))
        << c.name;

    TreeRoot root;
    root.started_at = quern_session::procinfo::start_time(decoy);
    ASSERT_TRUE(root.started_at);
    root.started_at->secs += c.shift;
    root.tty = name + 5;
    root.shim_pid = decoy;

    kill_tree(root, SHORT_SCHEDULE);
    EXPECT_EQ(ended(on_terminal, c.terminal_killed ? 2000ms : 0ms),
              c.terminal_killed ? std::optional<int>(SIGKILL) : std::nullopt)
        << c.name;
    EXPECT_TRUE(running(decoy)) << c.name << ": the decoy was signalled";
    for (pid_t pid : {on_terminal, decoy}) {
      if (running(pid)) ::kill(pid, SIGKILL);
      ended(pid);
    }
    ::close(master);
  }
}

// ---------------------------------------------------------------- scripted looks

// What successive looks see; the last entry stands for every later look.
// "{S}", "{X}" and "{Y}" stand for the shim's and two victims' pids, "{XY}"
// for both victims in ascending order; "FAIL" makes ps exit with status 1.
struct Script {
  const char* name;
  std::vector<std::string> looks;
  std::string line;  // the chain's line on stderr, with the same placeholders
  int ps_runs;
  bool x_killed;
  bool y_killed;
};

void PrintTo(const Script& s, std::ostream* os) { *os << s.name; }

const std::string SHIM = "{S} 1 {S} ?? Ss\n";
const std::string X_ON = "{X} 1 {X} qtest S\n";
const std::string X_OFF = "{X} 1 {X} ?? S\n";
const std::string Y_ON = "{Y} 1 {Y} qtest S\n";

class ScriptedLooks : public ::testing::TestWithParam<Script> {
 protected:
  void TearDown() override {
    for (pid_t pid : {shim, x, y}) {
      if (running(pid)) ::kill(pid, SIGKILL);
      ended(pid);
    }
  }

  std::string fill(std::string text) const {
    const std::string both = std::to_string(std::min(x, y)) + ", " + std::to_string(std::max(x, y));
    const std::pair<std::string, std::string> keys[] = {
        {"{S}", std::to_string(shim)}, {"{X}", std::to_string(x)}, {"{Y}", std::to_string(y)}, {"{XY}", both}};
    for (const auto& [key, value] : keys) {
      for (std::size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
    }
    return text;
  }

  // The stand-ins use shell built-ins only: they are all there is on PATH.
  void write_stand_ins(const std::vector<std::string>& looks) {
    for (std::size_t i = 0; i < looks.size(); ++i) {
      std::ofstream(dir.path / ("look" + std::to_string(i + 1))) << fill(looks[i]);
    }
    std::ofstream(dir.path / "look-last") << fill(looks.back());
    const std::string d = dir.path.string();
    std::ofstream(dir.path / "ps") << "#!/bin/sh\n"
                                      "n=0; [ -f '" << d << "/count' ] && read n < '" << d << "/count'\n"
                                      "n=$((n+1)); echo $n > '" << d << "/count'\n"
                                      "f='" << d << "/look'$n; [ -f \"$f\" ] || f='" << d << "/look-last'\n"
                                      "read first < \"$f\"; [ \"$first\" = FAIL ] && exit 1\n"
                                      "while IFS= read -r l; do printf '%s\\n' \"$l\"; done < \"$f\"\n";
    std::ofstream(dir.path / "lsof") << "#!/bin/sh\nexit 1\n";
    for (const char* name : {"ps", "lsof"}) fs::permissions(dir.path / name, fs::perms::owner_all);
  }

  int ps_runs() const {
    std::ifstream in(dir.path / "count");
    int n = 0;
    in >> n;
    return n;
  }

  TempDir dir;
  pid_t shim = spawn_sleeper();
  pid_t x = spawn_sleeper();
  pid_t y = spawn_sleeper();
};

// The whole chain runs, with a short schedule, against what the stand-in ps
// prints; no shell start time is recorded, so only the rounds signal.
TEST_P(ScriptedLooks, Schedule) {
  const Script& c = GetParam();
  write_stand_ins(c.looks);

  asio::io_context io;
  quern_test_support::TempRuntime runtime;
  quernd::reaper::Children children;
  using quernd::daemon::Daemon;
  quernd::Timings timings = quernd::Timings::product();
  timings.kill = SHORT_SCHEDULE;
  auto daemon = std::make_shared<Daemon>(quernd::registry::Registry(runtime.runtime(), "boot", children, timings),
                                         PsSupervisor(std::make_shared<Abandoned>(), timings.kill), io.get_executor(),
                                         timings);
  TreeRoot root;
  root.started_at = quern_session::procinfo::start_time(shim);
  root.tty = "qtest";
  root.shell_pid = x;
  root.pgid = x;
  root.shim_pid = shim;

  // The stand-ins on PATH and the report's capture last only while the chain runs.
  std::string err;
  std::chrono::steady_clock::duration took{};
  {
    quern_test_support::CaptureStderr capture;
    quern_test_support::ScopedEnv path("PATH", dir.path.native());
    const auto start = std::chrono::steady_clock::now();
    Daemon::kill(daemon, quern_protocol::message::PtyId{"s1"}, root, false);
    quern_test_support::run(io, daemon->kill_chains.front().join());
    took = std::chrono::steady_clock::now() - start;
    err = capture.text();
  }

  EXPECT_EQ(err, fill(c.line));
  EXPECT_EQ(ps_runs(), c.ps_runs);
  // The pause after the hang-up step comes first, then one wait per round
  // that signalled or could not look, and the settling before the last look.
  const auto& s = timings.kill;
  const std::chrono::milliseconds waits[] = {s.hangup_pause,   s.round_waits[0], s.round_waits[1],
                                             s.round_waits[2], s.round_waits[3], s.settle};
  std::chrono::milliseconds least{0};
  // A clean end comes right after its look; the last look comes after all six.
  const int waited = c.ps_runs == 6 ? 6 : c.ps_runs - 1;
  for (int i = 0; i < waited; ++i) least += waits[i];
  EXPECT_GE(took, least);

  EXPECT_EQ(ended(x, c.x_killed ? 2000ms : 0ms), c.x_killed ? std::optional<int>(SIGKILL) : std::nullopt);
  EXPECT_EQ(ended(y, c.y_killed ? 2000ms : 0ms), c.y_killed ? std::optional<int>(SIGKILL) : std::nullopt);
  EXPECT_TRUE(running(shim)) << "the shim was signalled";
}

INSTANTIATE_TEST_SUITE_P(
    Looks, ScriptedLooks,
    ::testing::Values(
        Script{"AllGoneByRoundOne", {SHIM}, "", 2, false, false},
        Script{"FirstLookSignalsNothing", {SHIM + X_ON, SHIM}, "", 2, false, false},
        Script{"GroupFromFirstLookHitAfterLeavingTheTerminal", {SHIM + X_ON, SHIM + X_OFF, SHIM}, "", 3, true,
               false},
        Script{"FailedRoundSignalsNothingThenKnownGroupsGoOn", {SHIM + X_ON, "FAIL\n", SHIM + X_OFF, SHIM}, "", 4,
               true, false},
        Script{"SurvivorsAfterFourRounds", {SHIM + Y_ON + X_ON}, "quernd: close s1: survivors [{XY}]\n", 6, true,
               true},
        Script{"EveryLookFails", {"FAIL\n"}, "quernd: close s1: outcome unknown\n", 6, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
