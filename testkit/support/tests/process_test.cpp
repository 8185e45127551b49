#include "quern_test_support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quern_session/child.hpp"
#include "quern_session/fd.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/env.hpp"
#include "quern_test_support/files.hpp"

namespace {

using namespace std::chrono_literals;
using namespace quern_test_support;

TEST(Spawn, GivesTheChildItsArgumentsEnvironmentDescriptorsDirectoryAndGroup) {
  // The child reads its stdin from a pipe of the test (a dup), writes into a
  // file (an open), runs in the directory given with exactly the environment
  // given, and leads a group of its own.
  TempDir dir;
  ScopedEnv ours("QT_B", "not handed down");
  auto pipe = quern_session::child::make_pipe();
  ASSERT_TRUE(pipe);
  Process child({.argv = {"/bin/sh", "-c", "read line; echo \"$0 $line ${QT_A-unset} ${QT_B-unset} $PWD\"", "sh0"},
                 .env = std::vector<std::string>{"QT_A=a"},
                 .dups = {{pipe->read.get(), 0}},
                 .opens = {{1, dir / "out", O_WRONLY | O_CREAT | O_TRUNC}},
                 .dir = dir.path,
                 .own_group = true});
  pipe->read.reset();
  auto family = quern_session::procinfo::family(child.pid());
  ASSERT_TRUE(family);
  EXPECT_EQ(family->pgid, child.pid());
  ASSERT_EQ(::write(pipe->write.get(), "in\n", 3), 3);
  EXPECT_EQ(child.wait_exit(5s), 0);
  EXPECT_EQ(read_file(dir / "out"), "sh0 in a unset " + dir.path.native() + "\n");
}

TEST(Spawn, ThrowsWhenTheProgramCannotStart) {
  EXPECT_THROW(spawn({.argv = {"/nonexistent/program"}}), std::runtime_error);
}

TEST(WaitExit, IsTheExitCodeOrOneTwentyEightPlusTheSignal) {
  struct Case {
    const char* script;
    int status;
  };
  const Case cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"kill -TERM $$", 128 + SIGTERM}};
  for (const Case& c : cases) {
    Process child({.argv = {"/bin/sh", "-c", c.script}});
    EXPECT_EQ(child.wait_exit(5s), c.status) << c.script;
    EXPECT_EQ(child.wait_exit(0ms), c.status) << c.script << ": kept";
  }
}

TEST(WaitExit, IsNoneWhileTheChildRunsAndTheKillOnceEnded) {
  Process child({.argv = {"sleep", "30"}});
  EXPECT_EQ(child.wait_exit(50ms), std::nullopt);
  child.end();
  EXPECT_EQ(child.wait_exit(0ms), 128 + SIGKILL);
  EXPECT_EQ(quern_session::procinfo::start_time(child.pid()), std::nullopt);
}

}  // namespace
