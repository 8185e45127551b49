#include "supervisor.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <algorithm>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "quern_test_support/env.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/shell_tree.hpp"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quern_session::ErrorKind;
using namespace quernd::supervisor;
using namespace quernd::supervisor::ps;

// Runs one task to completion on an io_context of its own.
template <class T>
T block_on(asio::awaitable<T> task) {
  asio::io_context ctx;
  auto result = asio::co_spawn(ctx, std::move(task), asio::use_future);
  ctx.run();
  return result.get();
}

Row R(std::int32_t pid, std::int32_t ppid, std::int32_t pgid, std::string tty = "?",
      std::string stat = "S") {
  return Row{pid, ppid, pgid, std::move(tty), std::move(stat)};
}

using quern_test_support::ScopedEnv;
using quern_test_support::TempDir;

// A private directory of stand-in programs.
struct ScriptDir : TempDir {
  void script(const std::string& name, const std::string& body) const {
    std::ofstream(path / name) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path / name, fs::perms::owner_all);
  }
};

// ---------------------------------------------------------------- parse_table

TEST(ParseTable, LinesToRows) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Row> rows;
  };
  const std::vector<Case> cases = {
      {"five columns", "  12     1    12 pts/3    Ss\n", {R(12, 1, 12, "pts/3", "Ss")}},
      {"pieces after the fifth are ignored", "12 1 12 ?? S+ extra more\n", {R(12, 1, 12, "??", "S+")}},
      {"four pieces", "12 1 12 ?\n", {}},
      {"letter in pid", "1a 1 1 ? S\n", {}},
      {"letter in ppid", "1 x 1 ? S\n", {}},
      {"letter in pgid", "1 1 12z ? S\n", {}},
      {"signs", "+12 -1 +0 ? S\n", {R(12, -1, 0)}},
      {"lone plus", "+ 1 1 ? S\n", {}},
      {"lone minus", "1 - 1 ? S\n", {}},
      {"two signs", "--1 1 1 ? S\n", {}},
      {"hex and fractions", "0x1F 1 1 ? S\n1.0 1 1 ? S\n", {}},
      {"non-ASCII digits", "\xD9\xA1\xD9\xA2 1 1 ? S\n", {}},
      {"int32 bounds", "2147483647 -2147483648 0 ? S\n", {R(INT32_MAX, INT32_MIN, 0)}},
      {"above int32", "2147483648 1 1 ? S\n1 -2147483649 1 ? S\n", {}},
      {"leading zeros", "00000000000042 1 1 ? S\n", {R(42, 1, 1)}},
      {"carriage returns", "5 1 5 ? S\r\n6 1 6 ? R\r\n", {R(5, 1, 5, "?", "S"), R(6, 1, 6, "?", "R")}},
      {"tabs, blank lines, no final newline", "\n\t7\t1\t7\t?\tR\n\n  \n8 1 8 ? S",
       {R(7, 1, 7, "?", "R"), R(8, 1, 8)}},
      {"Unicode white space separates",
       "5\xC2\xA0" "1\xE2\x80\x83" "5\xE3\x80\x80ttys001\xE2\x80\xA8Ss\n", {R(5, 1, 5, "ttys001", "Ss")}},
      {"tty and stat kept unchanged", "9 1 9 pts/10 Z+\n", {R(9, 1, 9, "pts/10", "Z+")}},
      {"order kept, bad lines skipped", "3 1 3 ? S\nPID PPID PGID TT STAT\n1 0 1 ? Ss\n",
       {R(3, 1, 3), R(1, 0, 1, "?", "Ss")}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_table(c.text), c.rows) << c.name;
  }
}

// ---------------------------------------------------------------- targets

constexpr std::int32_t DAEMON = 300;
constexpr std::int32_t SHIM = 400;
constexpr std::int32_t SHELL = 500;
const std::string TTY = "pts/9";
const StartTime SHIM_STARTED{90, 3};

TreeRoot root_of(std::string tty = TTY, std::int32_t shim = SHIM) {
  TreeRoot root;
  root.started_at = SHIM_STARTED;
  root.shell_started_at = StartTime{100, 5};
  root.tty = std::move(tty);
  root.shell_pid = SHELL;
  root.pgid = SHELL;
  root.shim_pid = shim;
  return root;
}

// init, the daemon's parent on another terminal, the daemon and a shim of its own group.
std::vector<Row> with_lineage(std::vector<Row> rows) {
  std::vector<Row> all = {R(1, 0, 1, "?", "Ss"), R(200, 1, 200, "pts/0", "Ss"),
                          R(DAEMON, 200, DAEMON, "pts/0", "S+"), R(SHIM, 1, SHIM, "?", "Ss")};
  all.insert(all.end(), rows.begin(), rows.end());
  return all;
}

TEST(Targets, Rules) {
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::vector<std::int32_t> holders;
    TreeRoot root;
    bool shell_alive;
    std::set<std::int32_t> known;
    std::vector<std::int32_t> expected;
    std::set<std::int32_t> known_after;
    std::optional<StartTime> shim_started = SHIM_STARTED;  // as the look read it
  };
  // The session: shell, a child on the terminal, a setsid'd grandchild off it,
  // a holder of the terminal elsewhere and a bystander. Listed out of order.
  const std::vector<Row> session = {
      R(700, 1, 700), R(502, 501, 502), R(600, 1, 600), R(501, SHELL, SHELL, TTY),
      R(SHELL, SHIM, SHELL, TTY, "Ss")};
  auto without_shim = [](std::vector<Row> rows) {
    std::erase_if(rows, [](const Row& r) { return r.pid == SHIM; });
    return rows;
  };
  const std::vector<Case> cases = {
      {"tree, terminal and holders", with_lineage(session), {600, 9999}, root_of(), true, {},
       {500, 501, 502, 600}, {500, 502, 600}},
      {"shell not alive: terminal and holders only", with_lineage(session), {600}, root_of(), false,
       {}, {500, 501, 600}, {500, 600}},
      {"shim gone: known groups only", without_shim(with_lineage(session)), {600}, root_of(), false,
       {500}, {500, 501}, {500}},
      {"shim gone: the tree is still walked", without_shim(with_lineage(session)), {600}, root_of(),
       true, {}, {500, 501, 502}, {500, 502}},
      // The terminal and its holders are another process's now.
      {"shim's pid taken by another process: known groups only", with_lineage(session), {600}, root_of(),
       false, {500}, {500, 501}, {500}, StartTime{90, 4}},
      {"shim's pid gone between ps and the start time", with_lineage(session), {600}, root_of(), false,
       {}, {}, {}, std::nullopt},
      {"no shim start time recorded: known groups only", with_lineage(session), {600},
       [] { TreeRoot r = root_of(); r.started_at.reset(); return r; }(), false, {500}, {500, 501}, {500}},
      {"no terminal: the terminal rule is off", with_lineage(session), {600}, root_of(""), false,
       {42}, {}, {42}},
      {"known group reaches members off the tree and terminal",
       with_lineage({R(502, 1, 502), R(800, 1, 502), R(801, 1, 801)}), {}, root_of(), false, {502},
       {502, 800}, {502}},
      {"zombies are skipped and teach no group",
       with_lineage({R(SHELL, SHIM, SHELL, TTY), R(510, SHELL, 510, TTY, "Z+"), R(511, 1, 77, "?", "Z"),
                     R(512, 1, 77)}),
       {511}, root_of(), true, {}, {500}, {500}},
      {"later row of a shared pid decides",
       with_lineage({R(SHELL, SHIM, SHELL, TTY), R(520, SHELL, 520, TTY), R(530, 1, 530),
                     R(520, 1, 520, "?", "Z"), R(530, 1, 531)}),
       {}, root_of(), true, {530}, {500, 530}, {500, 530, 531}},
  };
  for (const Case& c : cases) {
    std::set<std::int32_t> known = c.known;
    Snapshot snap{c.rows, c.holders, c.shim_started};
    EXPECT_EQ(targets(snap, c.root, DAEMON, known, c.shell_alive), c.expected) << c.name;
    EXPECT_EQ(known, c.known_after) << c.name;
  }
}

TEST(Targets, Protections) {
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::vector<std::int32_t> holders;
    bool shell_alive;
    std::set<std::int32_t> known;
    std::vector<std::int32_t> expected;
  };
  const std::vector<Case> cases = {
      // Started from the session's own shell: the shell and its group are the daemon's.
      {"daemon inside the session",
       {R(1, 0, 1), R(SHIM, 1, SHIM), R(SHELL, SHIM, SHELL, TTY), R(DAEMON, SHELL, SHELL, TTY),
        R(501, SHELL, SHELL, TTY), R(502, 501, 502)},
       {DAEMON}, true, {SHELL}, {502}},
      {"ancestors and their groups on the terminal and holding it",
       {R(1, 0, 1), R(200, 1, 200, TTY), R(210, 1, 200, TTY), R(DAEMON, 200, DAEMON, "pts/0"),
        R(SHIM, 1, SHIM), R(SHELL, SHIM, SHELL, TTY), R(220, 1, 220)},
       {200, 210, DAEMON, 220}, false, {}, {220, 500}},
      {"ancestors in the shell's tree and in known groups",
       {R(SHIM, 1, SHIM), R(SHELL, SHIM, SHELL, TTY), R(200, SHELL, 200), R(DAEMON, 200, DAEMON),
        R(230, 1, DAEMON), R(505, SHELL, 505)},
       {}, true, {SHELL, 200, DAEMON}, {505}},
      {"shim in the tree, on the terminal, holding it, in a known group",
       {R(SHIM, SHELL, SHELL, TTY), R(SHELL, SHIM, SHELL, TTY), R(DAEMON, 250, DAEMON)},
       {SHIM}, true, {SHELL}, {500}},
      {"pids 0 and 1 on the terminal, holding it, in known groups",
       {R(0, 0, 0, TTY), R(1, 0, 1, TTY), R(SHIM, 1, SHIM), R(SHELL, 1, SHELL, TTY),
        R(DAEMON, 250, DAEMON)},
       {0, 1}, true, {0, 1}, {500}},
      {"init's group, init being the daemon's ancestor",
       {R(1, 0, 1), R(DAEMON, 1, DAEMON), R(SHIM, 1, SHIM), R(SHELL, SHIM, SHELL, TTY),
        R(650, 1, 1, TTY)},
       {650}, false, {}, {500}},
      {"ancestors above the shim, when the shim is the daemon's ancestor",
       {R(1, 0, 1), R(120, 1, 120, TTY), R(SHIM, 120, 120), R(SHELL, SHIM, SHELL, TTY),
        R(DAEMON, SHELL, SHELL, TTY), R(121, 1, 120)},
       {120, 121}, false, {}, {}},
      {"ancestry loop ends the walk",
       {R(DAEMON, 260, DAEMON), R(260, 270, 260), R(270, 260, 270, TTY), R(SHIM, 1, SHIM),
        R(SHELL, SHIM, SHELL, TTY)},
       {}, false, {}, {500}},
  };
  for (const Case& c : cases) {
    std::set<std::int32_t> known = c.known;
    Snapshot snap{c.rows, c.holders, SHIM_STARTED};
    EXPECT_EQ(targets(snap, root_of(), DAEMON, known, c.shell_alive), c.expected) << c.name;
  }
}

TEST(Targets, GroupsLearntInOneCallReachTheirMembersFromTheNext) {
  // 803 shares the group of the grandchild but is neither in the tree nor on the terminal.
  Snapshot snap{with_lineage({R(SHELL, SHIM, SHELL, TTY), R(502, SHELL, 502), R(803, 1, 502)}), {}};
  std::set<std::int32_t> known;
  EXPECT_EQ(targets(snap, root_of(), DAEMON, known, true), (std::vector<std::int32_t>{500, 502}));
  EXPECT_EQ(known, (std::set<std::int32_t>{500, 502}));
  // The tree has gone; the group still reaches its member.
  Snapshot later{with_lineage({R(803, 1, 502)}), {}};
  EXPECT_EQ(targets(later, root_of(), DAEMON, known, true), (std::vector<std::int32_t>{803}));
}

// ---------------------------------------------------------------- lineage and may_signal

// `sleep 30`, in a process group of its own when `own_group`; killed and
// reaped at the end.
struct Sleeper : quern_test_support::Process {
  explicit Sleeper(bool own_group) : Process({.argv = {"sleep", "30"}, .own_group = own_group}) {}
};

TEST(Lineage, IsThisProcessItsAncestorsAndTheirGroups) {
  const Lineage lineage = lineage_of(::getpid());
  EXPECT_TRUE(lineage.pids.contains(::getpid()));
  EXPECT_TRUE(lineage.pids.contains(::getppid()));
  EXPECT_TRUE(lineage.groups.contains(::getpgrp()));
  auto parent = quern_session::procinfo::family(::getppid());
  ASSERT_TRUE(parent);
  EXPECT_TRUE(lineage.groups.contains(parent->pgid));
  EXPECT_TRUE(lineage.pids.contains(parent->ppid));
}

TEST(MaySignal, OnlyTheRecordedProcessThatIsNeitherTheDaemonNorAnAncestor) {
  // Nothing is signalled here: the checks only answer.
  Sleeper apart(true), in_our_group(false);
  const auto started = [](pid_t pid) { return quern_session::procinfo::start_time(pid); };
  const Lineage lineage = lineage_of(::getpid());
  struct Case {
    const char* name;
    std::int32_t pid;
    std::optional<StartTime> recorded;
    bool allowed;
  };
  const StartTime later{started(apart.pid())->secs + 1, started(apart.pid())->micros};
  const std::vector<Case> cases = {
      {"the recorded process in a group of its own", apart.pid(), started(apart.pid()), true},
      {"another start time", apart.pid(), later, false},
      {"no recorded start time", apart.pid(), std::nullopt, false},
      // A signal to the one pid spares the rest of its group.
      {"in the daemon's group", in_our_group.pid(), started(in_our_group.pid()), true},
      {"the daemon", ::getpid(), started(::getpid()), false},
      {"the daemon's parent", ::getppid(), started(::getppid()), false},
      {"pid 1", 1, started(1), false},
      {"pid 0", 0, started(0), false},
      {"a negative pid names a group", -apart.pid(), started(apart.pid()), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(may_signal(c.pid, c.recorded, lineage), c.allowed) << c.name;
  }
}

// ---------------------------------------------------------------- run

TEST(Run, CapturesBothOutputsAndTheRawStatus) {
  auto abandoned = std::make_shared<Abandoned>();
  auto r = block_on(run("sh", {"-c", "printf out; printf err >&2; exit 3"}, 5s, abandoned));
  ASSERT_TRUE(r) << r.error().what();
  EXPECT_EQ(r->out, "out");
  EXPECT_EQ(r->err, "err");
  ASSERT_TRUE(WIFEXITED(r->status));
  EXPECT_EQ(WEXITSTATUS(r->status), 3);
  EXPECT_TRUE(abandoned->pids().empty());
}

TEST(Run, ReadsBothOutputsAtOnce) {
  // Far more than a pipe holds on stderr before stdout is written at all.
  auto r = block_on(run("sh", {"-c", "head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero"}, 5s,
                        std::make_shared<Abandoned>()));
  ASSERT_TRUE(r) << r.error().what();
  EXPECT_EQ(r->err.size(), 1048576u);
  EXPECT_EQ(r->out.size(), 1048576u);
  EXPECT_EQ(r->status, 0);
}

TEST(Run, UnknownProgramFails) {
  auto abandoned = std::make_shared<Abandoned>();
  auto r = block_on(run("no-such-program-quernd-test", {}, 5s, abandoned));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::NotFound);
  EXPECT_TRUE(abandoned->pids().empty());
}

TEST(Run, RunPastItsLimitIsAbandonedUnsignalled) {
  TempDir dir;
  const fs::path done = dir.path / "done";
  auto abandoned = std::make_shared<Abandoned>();
  auto r = block_on(run("sh", {"-c", "sleep 1; : > \"$1\"", "sh", done.string()}, 100ms, abandoned));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::TimedOut);
  EXPECT_FALSE(fs::exists(done)) << "the run waited for the child";
  ASSERT_EQ(abandoned->pids().size(), 1u);
  const pid_t pid = abandoned->pids().front();
  EXPECT_EQ(::kill(pid, 0), 0) << "the child should still run";

  // It finishes its work on its own and is then reaped from the list.
  auto until = std::chrono::steady_clock::now() + 5s;
  while (abandoned->reap() != 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(abandoned->pids().empty());
  EXPECT_TRUE(fs::exists(done)) << "the child was stopped before it finished";
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1) << "the child should have been reaped";
}

TEST(Run, ChildStartsWithSigpipeAtDefault) {
  struct sigaction ignore {}, saved{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &saved);
  auto r = block_on(run("sh", {"-c", "kill -PIPE $$; exit 0"}, 5s, std::make_shared<Abandoned>()));
  ::sigaction(SIGPIPE, &saved, nullptr);
  ASSERT_TRUE(r) << r.error().what();
  ASSERT_TRUE(WIFSIGNALED(r->status)) << "status " << r->status;
  EXPECT_EQ(WTERMSIG(r->status), SIGPIPE);
}

TEST(Run, ChildInheritsOnlyItsStandardStreams) {
  // An inheritable descriptor that somebody forgot to mark close-on-exec.
  int leaky = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  const std::string check = "for f in 0 1 2 " + std::to_string(leaky) +
                            "; do [ -e /dev/fd/$f ] && printf '%s ' $f; done; true";
  auto r = block_on(run("sh", {"-c", check}, 5s, std::make_shared<Abandoned>()));
  ::close(leaky);
  ASSERT_TRUE(r) << r.error().what();
  EXPECT_EQ(r->out, "0 1 2 ");
}

// ---------------------------------------------------------------- snapshot with stand-ins

TEST(Snapshot, StandInCommands) {
  const std::string ps_table =
      "[ \"$1\" = -axo ] && [ \"$2\" = pid=,ppid=,pgid=,tty=,stat= ] || exit 9\n"
      "printf '    1     0     1 ?        Ss\\n   42     1    42 pts/7    S+\\n'";
  const std::vector<Row> rows = {R(1, 0, 1, "?", "Ss"), R(42, 1, 42, "pts/7", "S+")};
  struct Case {
    const char* name;
    std::optional<std::string> ps;    // body of the ps stand-in; none: no ps at all
    std::optional<std::string> lsof;  // body of the lsof stand-in; none: no lsof at all
    std::string tty;
    std::optional<Snapshot> expected;
    std::optional<std::string> lsof_args;  // what lsof was called with; none: never called
  };
  const std::vector<Case> cases = {
      {"no terminal: lsof never runs", ps_table, "printf '42\\n'", "", Snapshot{rows, {}}, {}},
      {"no terminal: a missing lsof does not matter", ps_table, {}, "", Snapshot{rows, {}}, {}},
      {"holders in lsof's order, junk skipped", ps_table, "printf '42\\n7 junk\\n+3 -5 99999999999\\n'",
       "pts/7", Snapshot{rows, {42, 7, 3, -5}}, "-t /dev/pts/7"},
      {"lsof printing nothing with status 1", ps_table, "exit 1", "pts/7", Snapshot{rows, {}},
       "-t /dev/pts/7"},
      {"lsof missing fails the whole snapshot", ps_table, {}, "pts/7", {}, {}},
      {"ps noise on stderr is ignored", ps_table + "\necho warning >&2", {}, "", Snapshot{rows, {}}, {}},
      {"ps with status 1 and a full table", ps_table + "\nexit 1", {}, "", {}, {}},
      {"ps killed by a signal", ps_table + "\nkill -KILL $$", {}, "", {}, {}},
      {"ps printing no parseable line", "printf 'PID PPID\\nnothing here\\n'", {}, "", {}, {}},
      {"ps missing", {}, "exit 0", "", {}, {}},
      {"ps output taken as lossy UTF-8", "printf ' 5 1 5 pts/\\377 S\\n'", {}, "",
       Snapshot{{R(5, 1, 5, "pts/\xEF\xBF\xBD", "S")}, {}}, {}},
  };
  for (const Case& c : cases) {
    ScriptDir dir;
    const fs::path log = dir.path / "lsof-args";
    if (c.ps) dir.script("ps", *c.ps);
    if (c.lsof) dir.script("lsof", "printf '%s %s' \"$1\" \"$2\" > '" + log.string() + "'\n" + *c.lsof);
    std::optional<Snapshot> got;
    {
      // The stand-ins are all there is on the search path.
      ScopedEnv path("PATH", dir.path.string());
      got = block_on(snapshot(c.tty, ::getpid(), std::make_shared<Abandoned>()));
    }
    // A snapshot that was taken carries the start time of the shim's pid.
    std::optional<Snapshot> expected = c.expected;
    if (expected) expected->shim_started_at = quern_session::procinfo::start_time(::getpid());
    EXPECT_EQ(got, expected) << c.name;
    std::optional<std::string> args;
    if (fs::exists(log)) {
      std::ifstream in(log);
      args.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(args, c.lsof_args) << c.name;
  }
}

// ---------------------------------------------------------------- a real process tree

// A session of our own on a fresh pty. The stand-in shim and this process
// hold its terminal too, and must never be chosen.
class PtyTree : public ::testing::Test {
 protected:
  static const Row* find(const Snapshot& snap, std::int32_t pid) {
    for (const Row& row : snap.rows) {
      if (row.pid == pid) return &row;
    }
    return nullptr;
  }

  TreeRoot root(std::string tty) const {
    TreeRoot r;
    r.started_at = quern_session::procinfo::start_time(tree_.shim);
    r.tty = std::move(tty);
    r.shell_pid = tree_.shell;
    r.pgid = tree_.shell;
    r.shim_pid = tree_.shim;
    return r;
  }

  quern_test_support::ShellTree tree_;
};

TEST_F(PtyTree, TargetsAreExactlyTheSessionsProcesses) {
  std::vector<std::int32_t> session = {tree_.shell, tree_.pids["child"], tree_.pids["mid"], tree_.pids["grandchild"],
                                       tree_.pids["orphan"]};
  std::sort(session.begin(), session.end());

  {
    auto snap = block_on(snapshot(tree_.tty, tree_.shim, std::make_shared<Abandoned>()));
    ASSERT_TRUE(snap);
    // The grandchild has left the terminal's session and is found only as a holder.
    const Row* grandchild = find(*snap, tree_.pids["grandchild"]);
    ASSERT_NE(grandchild, nullptr);
    EXPECT_NE(grandchild->tty, tree_.tty);
    auto holds = [&](pid_t pid) { return std::ranges::count(snap->holders, pid) == 1; };
    EXPECT_TRUE(holds(tree_.pids["grandchild"]));
    EXPECT_TRUE(holds(tree_.shim));
    EXPECT_TRUE(holds(::getpid()));
    EXPECT_EQ(find(*snap, tree_.pids["orphan"])->tty, tree_.tty);
  }

  struct Case {
    const char* name;
    bool shell_alive;
    std::string tty;
    bool shim_present;
    std::vector<std::int32_t> expected;
  };
  const std::vector<Case> cases = {
      {"shell alive", true, tree_.tty, true, session},
      {"shell not the recorded one: terminal and holders", false, tree_.tty, true, session},
      {"no terminal: tree and the shell's group", true, "", true, session},
      {"shim gone, shell not alive: nothing known", false, tree_.tty, false, {}},
  };
  for (const Case& c : cases) {
    TreeRoot r = root(c.tty);
    if (!c.shim_present) r.shim_pid = INT32_MAX;
    auto snap = block_on(snapshot(c.tty, r.shim_pid, std::make_shared<Abandoned>()));
    ASSERT_TRUE(snap) << c.name;
    std::set<std::int32_t> known;
    if (c.shell_alive) known.insert(r.pgid);
    auto got = targets(*snap, r, ::getpid(), known, c.shell_alive);
    EXPECT_EQ(got, c.expected) << c.name;

    // Never this process, nor any of its ancestors.
    for (const Row* row = find(*snap, ::getpid()); row; row = find(*snap, row->ppid)) {
      EXPECT_EQ(std::ranges::count(got, row->pid), 0) << c.name << ": ancestor " << row->pid;
      if (row->ppid == row->pid) break;
    }
  }
}

}  // namespace
