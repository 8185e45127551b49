#include "reaper.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "quern_test_support/process.hpp"

namespace {

using quernd::reaper::Children;
using namespace std::chrono_literals;

pid_t spawn(std::vector<std::string> args) { return quern_test_support::spawn({.argv = std::move(args)}); }

// Waits until `pid` has exited, leaving it for someone else to collect.
void wait_exited_uncollected(pid_t pid) {
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
}

void kill_and_collect(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST(Children, ReapDropsExitedAndUnqueryableChildrenAndLeavesOthersAlone) {
  // Reaping collects exactly the held children that have ended, keeps the
  // running ones in order, drops a pid that cannot be asked about, and never
  // collects a child that someone else holds.
  Children children;
  pid_t running = spawn({"sleep", "30"});
  pid_t exited = spawn({"true"});
  pid_t not_ours = ::getppid();
  pid_t held_elsewhere = spawn({"true"});
  children.hold(exited);
  children.hold(running);
  children.hold(not_ours);
  wait_exited_uncollected(exited);
  wait_exited_uncollected(held_elsewhere);

  children.reap();

  EXPECT_EQ(children.held(), std::vector<pid_t>{running});
  EXPECT_EQ(::waitpid(exited, nullptr, WNOHANG), -1) << "the exited child was collected";
  EXPECT_EQ(::waitpid(held_elsewhere, nullptr, WNOHANG), held_elsewhere)
      << "a child held elsewhere keeps its exit status";
  kill_and_collect(running);
}

TEST(Children, CopiesShareOneList) {
  Children a;
  Children b = a;
  pid_t child = spawn({"sleep", "30"});
  b.hold(child);
  EXPECT_EQ(a.held(), std::vector<pid_t>{child});
  kill_and_collect(child);
}

class ReaperTask : public ::testing::Test {
 protected:
  ~ReaperTask() override {
    if (sigchld_held_) ::sigprocmask(SIG_UNBLOCK, &sigchld_, nullptr);
  }

  // Keeps SIGCHLD from the reaper until the test ends, however it ends.
  void hold_sigchld() {
    sigemptyset(&sigchld_);
    sigaddset(&sigchld_, SIGCHLD);
    ASSERT_EQ(::sigprocmask(SIG_BLOCK, &sigchld_, nullptr), 0);
    sigchld_held_ = true;
  }

  // Starts the reaper and lets its first reap, which runs at once, pass.
  void start_reaper() {
    boost::asio::co_spawn(io, Children::run(children), [](std::exception_ptr e) {
      if (e) std::rethrow_exception(e);
    });
    io.run_for(100ms);
  }

  // Drives the reaper until `children` is empty or `limit` has passed;
  // returns the time it took.
  std::chrono::steady_clock::duration drive_until_empty(std::chrono::milliseconds limit) {
    auto start = std::chrono::steady_clock::now();
    while (!children.held().empty() && std::chrono::steady_clock::now() - start < limit)
      io.run_for(5ms);
    return std::chrono::steady_clock::now() - start;
  }

  boost::asio::io_context io;
  Children children;

 private:
  sigset_t sigchld_{};
  bool sigchld_held_ = false;
};

TEST_F(ReaperTask, CollectsAnExitedChildWithinASecondWithoutSigchld) {
  // With SIGCHLD held back from the reaper, the 1-second interval alone
  // collects the child.
  hold_sigchld();
  start_reaper();
  pid_t child = spawn({"true"});
  children.hold(child);
  wait_exited_uncollected(child);
  auto took = drive_until_empty(2000ms);

  EXPECT_TRUE(children.held().empty());
  EXPECT_LT(took, 1500ms);
  EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), -1) << "the child was collected";
}

TEST_F(ReaperTask, TickCollectsAMissedChildWithoutAskingEachHeldChild) {
  // With SIGCHLD held back, the tick alone collects an exited child. A pid
  // that is not a child of this process stays listed until some pass asks
  // about it, so it stays only while the tick asks no held child one by one;
  // an exited child held elsewhere forces that pass and keeps its status.
  struct Case {
    const char* name;
    bool exited_elsewhere;
  };
  const Case cases[] = {
      {"only held children", false},
      {"an exited child held elsewhere", true},
  };
  siginfo_t leftover{};
  if (::waitid(P_ALL, 0, &leftover, WEXITED | WNOHANG | WNOWAIT) == 0) {
    ASSERT_EQ(leftover.si_pid, 0) << "an earlier test left an exited child uncollected";
  }

  hold_sigchld();
  start_reaper();  // past the first reap, which asks each held child
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<pid_t> running;
    for (int i = 0; i < 20; ++i) running.push_back(spawn({"sleep", "30"}));
    pid_t not_ours = ::getppid();
    for (pid_t pid : running) children.hold(pid);
    children.hold(not_ours);
    io.run_for(1500ms);  // at least one tick with nothing exited
    std::vector<pid_t> expected = running;
    expected.push_back(not_ours);
    EXPECT_EQ(children.held(), expected) << "a tick with nothing exited asked each held child";

    pid_t elsewhere = c.exited_elsewhere ? spawn({"true"}) : 0;
    if (elsewhere) wait_exited_uncollected(elsewhere);
    pid_t exited = spawn({"true"});
    children.hold(exited);
    wait_exited_uncollected(exited);
    auto start = std::chrono::steady_clock::now();
    while (std::ranges::count(children.held(), exited) != 0 &&
           std::chrono::steady_clock::now() - start < 3000ms)
      io.run_for(5ms);

    EXPECT_EQ(::waitpid(exited, nullptr, WNOHANG), -1) << "the exited child was collected";
    if (elsewhere) {
      EXPECT_EQ(::waitpid(elsewhere, nullptr, WNOHANG), elsewhere) << "it keeps its exit status";
      expected.pop_back();  // the pass over every held child dropped it
    }
    EXPECT_EQ(children.held(), expected);
    for (pid_t pid : running) kill_and_collect(pid);
    children.reap();
  }
}

TEST_F(ReaperTask, CollectsOnSigchldBeforeTheNextTick) {
  start_reaper();
  pid_t child = spawn({"true"});
  children.hold(child);
  // The next tick is due about 900 ms from now.
  auto took = drive_until_empty(2000ms);

  EXPECT_TRUE(children.held().empty());
  EXPECT_LT(took, 700ms);
}

}  // namespace
