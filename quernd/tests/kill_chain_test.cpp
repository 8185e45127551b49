// The kill chains: started from the daemon's record without waiting, their
// reports, and the wait for those still running at shutdown.
#include "kill_chain.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bind.hpp"
#include "failure.hpp"
#include "fakes/fake_shim.hpp"
#include "fake_supervisor.hpp"
#include "quern_test_support/runtime.hpp"
#include "kill_chain.hpp"
#include "pid_lock.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/capture.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/socket.hpp"
#include "timings.hpp"

namespace {


namespace asio = boost::asio;
namespace fs = std::filesystem;
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using quernd::Timings;
using quernd::supervisor::Clean;
using quernd::supervisor::KillOutcome;
using quernd::supervisor::Survivors;
using quernd::supervisor::TreeRoot;
using quernd::supervisor::Unknown;
using PtyId = msg::PtyId;

using quernd::daemon::Daemon;
using quernd_tests::fake_state;
using quernd_tests::FakeSupervisor;

using quern_test_support::CaptureStderr;

// daemon's group.
pid_t spawn_sleeper() { return quern_test_support::spawn({.argv = {"sleep", "30"}, .own_group = true}); }

// ---------------------------------------------------------------- kill chains

class Chains : public ::testing::Test {
 protected:
  void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }
  void TearDown() override {
    for (pid_t pid : sleepers) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  std::shared_ptr<Daemon> make_daemon(const Timings& timings = Timings::product()) {
    return std::make_shared<Daemon>(quernd::registry::Registry(dir.runtime(), "boot", children, timings),
                                    FakeSupervisor{}, io.get_executor(), timings);
  }
  // Runs the io_context until every chain recorded so far has finished.
  void finish(const Daemon& daemon) {
    for (const auto& chain : daemon.kill_chains) quern_test_support::run(io, chain.join());
  }
  asio::io_context io;
  quern_test_support::TempRuntime dir;
  quernd::reaper::Children children;
  std::vector<pid_t> sleepers;
};

TEST_F(Chains, KillNeverWaitsAndDropsFinishedHandles) {
  auto daemon = make_daemon();
  auto& state = fake_state(*daemon);
  state.delays[2] = 200ms;
  state.delays[3] = 200ms;
  auto root = [](std::int32_t key) {
    TreeRoot r;
    r.shell_pid = key;
    return r;
  };

  Daemon::kill(daemon, PtyId{"a"}, root(1), false);
  EXPECT_TRUE(state.roots.empty()) << "the chain ran before the caller waited";
  ASSERT_EQ(daemon->kill_chains.size(), 1u);
  finish(*daemon);
  EXPECT_EQ(state.finished, 1);

  // The finished chain goes when the next one is filed; running ones stay, in order.
  Daemon::kill(daemon, PtyId{"b"}, root(2), false);
  ASSERT_EQ(daemon->kill_chains.size(), 1u);
  Daemon::kill(daemon, PtyId{"c"}, root(3), false);
  ASSERT_EQ(daemon->kill_chains.size(), 2u);
  const auto b = daemon->kill_chains[0];
  EXPECT_FALSE(b.finished());
  finish(*daemon);
  EXPECT_EQ(state.finished, 3);
  EXPECT_EQ(state.roots, (std::vector<TreeRoot>{root(1), root(2), root(3)}));
  EXPECT_TRUE(b.finished());
}

TEST_F(Chains, ChainOpensReportsAndDiscards) {
  struct Case {
    const char* name;
    bool shim_answers;  // a shim listens on the session socket
    KillOutcome outcome;
    bool discard;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"clean: silent", true, Clean{}, false, ""},
      {"survivors", true, Survivors{{12, 345}}, false, "quernd: close sess one: survivors [12, 345]\n"},
      {"one survivor", true, Survivors{{7}}, false, "quernd: close sess one: survivors [7]\n"},
      {"unknown, discarded", true, Unknown{}, true, "quernd: close sess one: outcome unknown\n"},
      {"survivors, discarded", true, Survivors{{9}}, true, "quernd: close sess one: survivors [9]\n"},
      {"no shim answers: the tree is ended anyway", false, Clean{}, true, ""},
  };
  const PtyId id{"sess one"};
  const fs::path socket = dir.runtime().session_socket(id);
  const fs::path manifest = dir.runtime().session_manifest(id);
  for (const Case& c : cases) {
    std::error_code ignored;
    fs::remove(socket, ignored);
    fs::remove(manifest, ignored);
    std::optional<quern_fakes::FakeShim> shim;
    if (c.shim_answers) {
      shim.emplace(io.get_executor(), socket);
      quern_fakes::write_file(manifest, "{}");
    }
    const pid_t shim_pid = spawn_sleeper();
    sleepers.push_back(shim_pid);
    TreeRoot root;
    root.started_at = quern_session::procinfo::start_time(shim_pid);
    root.shim_pid = shim_pid;
    root.shell_pid = 4242;
    root.tty = "pts/99";

    auto daemon = make_daemon();
    auto& state = fake_state(*daemon);
    state.outcome = c.outcome;
    std::size_t greeted = 0;
    state.during = [&] { greeted = shim ? shim->received().size() : 0; };

    CaptureStderr err;
    Daemon::kill(daemon, id, root, c.discard);
    finish(*daemon);

    EXPECT_EQ(err.text(), c.line) << c.name;
    EXPECT_EQ(state.roots, std::vector<TreeRoot>{root}) << c.name;
    if (c.shim_answers) {
      EXPECT_EQ(shim->accepted(), 1u) << c.name;
      EXPECT_EQ(greeted, 1u) << c.name << ": the shim was not greeted before kill_tree";
      EXPECT_EQ(shim->received(), (std::vector<msg::Message>{msg::Hello{{1}}})) << c.name;
    }
    EXPECT_TRUE(children.held().empty()) << c.name << ": a shim was started";

    int status = 0;
    if (c.discard) {
      EXPECT_EQ(::waitpid(shim_pid, &status, 0), shim_pid) << c.name;
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << c.name;
      EXPECT_FALSE(fs::exists(socket)) << c.name;
      EXPECT_FALSE(fs::exists(manifest)) << c.name;
    } else {
      EXPECT_EQ(::waitpid(shim_pid, &status, WNOHANG), 0) << c.name << ": the shim was signalled";
      EXPECT_TRUE(fs::exists(socket)) << c.name;
      EXPECT_TRUE(fs::exists(manifest)) << c.name;
    }
  }
}

// ---------------------------------------------------------------- drain

TEST_F(Chains, DrainWithoutChainsReturnsAtOnceSilently) {
  auto daemon = make_daemon();
  CaptureStderr err;
  quern_test_support::run(io, daemon->drain());
  EXPECT_EQ(err.text(), "");
}

TEST_F(Chains, DrainWaitsForChainsThatFinishInTime) {
  auto daemon = make_daemon();
  fake_state(*daemon).delays = {{1, 100ms}, {2, 50ms}};
  for (std::int32_t key : {1, 2}) {
    TreeRoot r;
    r.shell_pid = key;
    Daemon::kill(daemon, PtyId{"s" + std::to_string(key)}, r, false);
  }
  const auto chains = daemon->kill_chains;
  CaptureStderr err;
  quern_test_support::run(io, daemon->drain());
  EXPECT_EQ(err.text(), "");
  for (const auto& chain : chains) EXPECT_TRUE(chain.finished());
  EXPECT_TRUE(daemon->kill_chains.empty());

  // A chain started after the list was taken is filed in the emptied list.
  Daemon::kill(daemon, PtyId{"late"}, TreeRoot{}, false);
  EXPECT_EQ(daemon->kill_chains.size(), 1u);
  finish(*daemon);
}

TEST_F(Chains, DrainGivesUpAtItsLimitAndLeavesChainsRunning) {
  Timings timings = Timings::product();
  timings.drain = 500ms;
  auto daemon = make_daemon(timings);
  auto& state = fake_state(*daemon);
  state.delays = {{1, 1000ms}, {2, 10ms}, {3, 10ms}};
  for (std::int32_t key : {1, 2, 3}) {
    TreeRoot r;
    r.shell_pid = key;
    Daemon::kill(daemon, PtyId{"s" + std::to_string(key)}, r, false);
  }
  const auto chains = daemon->kill_chains;
  CaptureStderr err;
  const auto start = std::chrono::steady_clock::now();
  quern_test_support::run(io, daemon->drain());
  EXPECT_GE(std::chrono::steady_clock::now() - start, timings.drain);
  EXPECT_EQ(err.text(), "quernd: shutdown with kill chains still in flight\n");
  EXPECT_FALSE(chains[0].finished());
  EXPECT_TRUE(chains[1].finished());
  EXPECT_TRUE(chains[2].finished());

  // Dropping the handle neither cancelled the chain nor stopped it.
  quern_test_support::run(io, chains[0].join());
  EXPECT_EQ(state.finished, 3);
}

}  // namespace
