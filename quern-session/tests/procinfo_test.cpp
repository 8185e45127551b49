#include "quern_session/procinfo.hpp"

#include <chrono>
#include <limits>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "quern_test_support/files.hpp"
#include "quern_test_support/process.hpp"

namespace quern_session::procinfo {
namespace {

// A child process of this test that runs until end() is called.
struct Child : quern_test_support::Process {
  Child() : Process({.argv = {"sleep", "30"}}) {}
};

#if defined(__linux__)

TEST(BootId, IsTheTrimmedKernelBootId) {
  auto id = boot_id();
  ASSERT_TRUE(id);
  EXPECT_EQ(id->size(), 36u) << *id;
  EXPECT_EQ(id->find_first_of(" \n\t"), std::string::npos);
  EXPECT_EQ(boot_id(), id);
}

#endif

TEST(StartTime, IsStableForARunningProcess) {
  auto self = start_time(::getpid());
  ASSERT_TRUE(self);
  EXPECT_EQ(start_time(::getpid()), self);
  EXPECT_GE(self->micros, 0);
  EXPECT_LT(self->micros, 1'000'000);

  Child child;
  auto first = start_time(child.pid());
  ASSERT_TRUE(first);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(start_time(child.pid()), first);
}

TEST(StartTime, DiffersForALaterProcessAndIsNoneOnceReaped) {
  std::optional<StartTime> earlier;
  pid_t earlier_pid;
  {
    Child child;
    earlier_pid = child.pid();
    earlier = start_time(earlier_pid);
    ASSERT_TRUE(earlier);
    child.end();
    EXPECT_EQ(start_time(earlier_pid), std::nullopt);
  }
  // Start times have the resolution of a clock tick (10 ms at most on Linux).
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Child later;
  auto now = start_time(later.pid());
  ASSERT_TRUE(now);
  EXPECT_NE(*now, *earlier);
}

TEST(StartTime, IsNoneForPidsWithoutAProcess) {
  for (std::int32_t pid : {0, -1, std::numeric_limits<std::int32_t>::min(),
                           std::numeric_limits<std::int32_t>::max()}) {
    EXPECT_EQ(start_time(pid), std::nullopt) << pid;
  }
}

TEST(ProcFile, IsTheWholeFileOrNoneWhenItCannotBeOpenedOrRead) {
  quern_test_support::TempDir dir;
  const std::string big(10000, 'x');
  quern_test_support::write_file(dir.path / "big", big);
  EXPECT_EQ(procfs::read_file((dir.path / "big").c_str()), big);
  EXPECT_EQ(procfs::read_file((dir.path / "missing").c_str()), std::nullopt);
  // Opens, then fails to read, as a file of a process that has just ended does.
  EXPECT_EQ(procfs::read_file(dir.path.c_str()), std::nullopt);
}

TEST(ProcStat, ReadsFieldTwentyTwoAfterTheLastParenthesis) {
  // Fields 3 to 21, then the start time, then a few more.
  const std::string middle = " S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 ";
  struct Case {
    std::string line;
    std::int32_t pid;
    long hz;
    std::optional<StartTime> want;
  } cases[] = {
      {"42 (sh)" + middle + "12345 99 100\n", 42, 100, StartTime{123, 450000}},
      {"42 (a b) c) (d)" + middle + "12345 99 100\n", 42, 100, StartTime{123, 450000}},
      {"42 (x)" + middle + "7 1\n", 42, 3, StartTime{2, 333333}},
      {"42 (x)" + middle + "0", 42, 100, StartTime{0, 0}},
      {"42 (x)" + middle + "18446744073709551615 1", 42, 1, std::nullopt},  // over int64
      {"42 (x)" + middle + "12345 99", 43, 100, std::nullopt},              // another pid
      {"42 (x)" + middle, 42, 100, std::nullopt},                           // too few fields
      {"42 (x)" + middle + "12a45 99", 42, 100, std::nullopt},              // not a number
      {"42 (x)" + middle + "-5 99", 42, 100, std::nullopt},
      {"42 x S 1 2", 42, 100, std::nullopt},  // no ')'
      {"", 42, 100, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(procfs::parse_stat(c.line, c.pid, c.hz), c.want) << c.line;
  }
}

TEST(ProcStat, ReadsParentAndGroupAfterTheLastParenthesis) {
  struct Case {
    std::string line;
    std::int32_t pid;
    std::optional<Family> want;
  } cases[] = {
      {"42 (sh) S 7 42 42 0 -1\n", 42, Family{7, 42}},
      {"42 (a b) 1 2) S 0 -3 42", 42, Family{0, -3}},
      {"42 (sh) S 7 42 42", 43, std::nullopt},         // another pid
      {"42 (sh) S 7", 42, std::nullopt},               // no group
      {"42 (sh) S 7x 42 42", 42, std::nullopt},        // not a number
      {"42 (sh) S 7 2147483648 1", 42, std::nullopt},  // over int32
      {"42 sh S 7 42", 42, std::nullopt},              // no ')'
  };
  for (const auto& c : cases) {
    EXPECT_EQ(procfs::parse_family(c.line, c.pid), c.want) << c.line;
  }
}

TEST(Family, IsTheParentAndGroupOfARunningProcess) {
  EXPECT_EQ(family(::getpid()), (Family{::getppid(), ::getpgrp()}));
  Child child;
  EXPECT_EQ(family(child.pid()), (Family{::getpid(), ::getpgrp()}));
  child.end();
  EXPECT_EQ(family(child.pid()), std::nullopt);
  EXPECT_EQ(family(-1), std::nullopt);
}

TEST(CommandText, IsTheTrimmedOutputOfASuccessfulRun) {
  struct Case {
    std::vector<std::string> argv;
    std::optional<std::string> want;
  } cases[] = {
      {{"sh", "-c", "printf 'F3B1-77\\n'"}, "F3B1-77"},
      {{"sh", "-c", "printf ' \\t id with space \\r\\n'"}, "id with space"},
      {{"sh", "-c", "echo noise >&2; echo ok"}, "ok"},
      {{"sh", "-c", "printf '\\342\\200\\203x\\302\\240'"}, "x"},  // Unicode spaces trimmed
      {{"sh", "-c", "echo ok; exit 1"}, std::nullopt},
      {{"sh", "-c", "kill -9 $$"}, std::nullopt},
      {{"sh", "-c", "printf ' \\n\\t '"}, std::nullopt},
      {{"sh", "-c", "printf 'a\\377b'"}, std::nullopt},  // not UTF-8
      {{"quern-no-such-command-on-path"}, std::nullopt},
      {{"sh", "-c", "read x && echo got"}, std::nullopt},  // stdin is empty
  };
  for (const auto& c : cases) {
    EXPECT_EQ(command_text(c.argv), c.want) << c.argv.back();
  }
}

TEST(CommandText, DrainsBothStreamsWithoutDeadlock) {
  // More than a pipe holds on each stream at once.
  auto out = command_text(
      {"sh", "-c", "head -c 300000 /dev/zero >&2 & head -c 300000 /dev/zero | tr '\\0' a; wait"});
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, std::string(300000, 'a'));
}

}  // namespace
}  // namespace quern_session::procinfo
