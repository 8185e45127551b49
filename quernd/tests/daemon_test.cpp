#include "daemon.hpp"

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
#include "fakes/support.hpp"
#include "kill_chain.hpp"
#include "pid_lock.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/socket.hpp"
#include "timings.hpp"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using quern_session::OsError;
using quernd::daemon::Failure;
using quernd::daemon::PidLock;
using quernd::Timings;
using quernd::supervisor::Clean;
using quernd::supervisor::KillOutcome;
using quernd::supervisor::Survivors;
using quernd::supervisor::TreeRoot;
using quernd::supervisor::Unknown;
using PtyId = msg::PtyId;
using quern_test_support::dead_socket;
using quern_test_support::read_file;

// A kill_tree that ends no process: it records each root, waits as long as
// the root's shell pid says (in milliseconds) and answers `outcome`.
struct FakeSupervisor {
  struct State {
    std::vector<TreeRoot> roots;
    KillOutcome outcome = Clean{};
    std::map<std::int32_t, std::chrono::milliseconds> delays;
    std::function<void()> during;  // runs inside kill_tree
    int finished = 0;
  };
  std::shared_ptr<State> state = std::make_shared<State>();

  asio::awaitable<KillOutcome> operator()(TreeRoot root) const {
    auto s = state;
    const std::int32_t key = root.shell_pid;
    s->roots.push_back(std::move(root));
    if (s->during) s->during();
    if (auto it = s->delays.find(key); it != s->delays.end()) {
      asio::steady_timer timer(co_await asio::this_coro::executor, it->second);
      co_await timer.async_wait(asio::use_awaitable);
    }
    ++s->finished;
    co_return s->outcome;
  }
};
using quernd::daemon::Daemon;

// The state of the fake that a daemon of these tests holds.
FakeSupervisor::State& fake_state(const Daemon& daemon) {
  return *daemon.kill_tree.target<FakeSupervisor>()->state;
}

// Whatever is written to std::cerr while it lives.
class CaptureStderr {
 public:
  CaptureStderr() : saved_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CaptureStderr() { std::cerr.rdbuf(saved_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
};

// Whether another open file description could take the lock now.
bool lockable(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

// A listening socket at `path`, closed when the result goes.
std::shared_ptr<int> listening_socket(const fs::path& path) {
  const sockaddr_un addr = quern_test_support::unix_address(path);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(::listen(fd, 8), 0);
  return std::shared_ptr<int>(new int(fd), [](int* p) {
    ::close(*p);
    delete p;
  });
}

bool connects(const fs::path& path) {
  const sockaddr_un addr = quern_test_support::unix_address(path);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// `sleep 30` in a process group of its own, as a shim that has left the
// daemon's group.
pid_t spawn_sleeper() { return quern_test_support::spawn({.argv = {"sleep", "30"}, .own_group = true}); }

// ---------------------------------------------------------------- errors

TEST(Report, Format) {
  struct Case {
    const char* name;
    Failure failure;
    std::string report;
  };
  const std::vector<Case> cases = {
      {"no cause", {"unknown flag --x", {}}, "Error: unknown flag --x\n"},
      {"one cause", {"runtime dir", {"Permission denied (os error 13)"}},
       "Error: runtime dir\n\nCaused by:\n    Permission denied (os error 13)\n"},
      {"two causes", {"bind /r/s.sock", {"outer", "inner"}},
       "Error: bind /r/s.sock\n\nCaused by:\n    0: outer\n    1: inner\n"},
      {"one cause of several lines", {"top", {"first\nsecond\n\nfourth"}},
       "Error: top\n\nCaused by:\n    first\n    second\n    \n    fourth\n"},
      {"several causes of several lines", {"top", {"a\nb", "c"}},
       "Error: top\n\nCaused by:\n    0: a\n       b\n    1: c\n"},
      {"two-digit indices stay in a field of five",
       {"top", {"c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9", "c10"}},
       "Error: top\n\nCaused by:\n    0: c0\n    1: c1\n    2: c2\n    3: c3\n    4: c4\n    5: c5\n"
       "    6: c6\n    7: c7\n    8: c8\n    9: c9\n   10: c10\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(quernd::daemon::report(c.failure), c.report) << c.name;
}

TEST(Failure, ContextPutsThePhraseOnTopOfTheChain) {
  const Failure inner = Failure::os(OsError::from_errno(ENOENT));
  EXPECT_EQ(inner, (Failure{OsError::from_errno(ENOENT).what(), {}}));
  const Failure twice = inner.context("pid file /r/quernd.pid").context("start-up");
  EXPECT_EQ(twice, (Failure{"start-up", {"pid file /r/quernd.pid", OsError::from_errno(ENOENT).what()}}));
}

// ---------------------------------------------------------------- pid lock

class PidFile : public ::testing::Test {
 protected:
  quern_fakes::TempRuntime dir;
  fs::path path = dir.runtime().daemon_pid_file();
  std::string pid = std::to_string(::getpid());
};

TEST_F(PidFile, Locking) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<void>(const fs::path&)> setup;  // holds what must live on
    std::function<void(const fs::path&)> before_lock;             // runs between open and lock
    std::optional<std::string> error;  // none: locked; else the error's text, without causes
    std::string content;               // of the file at the path afterwards
    int hook_calls;
  };
  const fs::path elsewhere = dir.runtime().root / "elsewhere";
  const fs::path link_target = dir.runtime().root / "target";
  auto none = [](const fs::path&) { return std::shared_ptr<void>(); };
  int calls = 0;
  const std::vector<Case> cases = {
      {"missing file is created", none, {}, {}, pid, 0},
      {"a longer stale pid leaves no digit behind",
       [](const fs::path& p) {
         quern_fakes::write_file(p, "99999999999999999999");
         return std::shared_ptr<void>();
       },
       {}, {}, pid, 0},
      {"held by another: refused, content untouched",
       [](const fs::path& p) {
         quern_fakes::write_file(p, "4242");
         auto fd = std::shared_ptr<int>(new int(::open(p.c_str(), O_RDWR | O_CLOEXEC)), [](int* f) {
           ::close(*f);
           delete f;
         });
         EXPECT_EQ(::flock(*fd, LOCK_EX | LOCK_NB), 0);
         return std::static_pointer_cast<void>(fd);
       },
       {}, "pid file " + path.string() + " is held by another daemon (EAGAIN: Try again)", "4242", 0},
      {"removed between open and lock: opened again", none,
       [&](const fs::path& p) {
         if (++calls == 1) fs::remove(p);
       },
       {}, pid, 2},
      {"replaced between open and lock: opened again", none,
       [&](const fs::path& p) {
         if (++calls > 1) return;
         quern_fakes::write_file(elsewhere, "777");
         fs::rename(elsewhere, p);
       },
       {}, pid, 2},
      {"eight changes in a row", none, [&](const fs::path& p) { ++calls, fs::remove(p); },
       "pid file " + path.string() + " keeps changing under us", "", 8},
  };
  for (const Case& c : cases) {
    calls = 0;
    fs::remove(path);
    auto held = c.setup(path);
    std::function<void()> hook;
    if (c.before_lock) hook = [&] { c.before_lock(path); };
    {
      auto locked = quernd::daemon::lock_pid_file(path, hook);
      if (c.error) {
        ASSERT_FALSE(locked) << c.name;
        EXPECT_EQ(locked.error(), (Failure{*c.error, {}})) << c.name;
      } else {
        ASSERT_TRUE(locked) << c.name << ": " << locked.error().text;
        EXPECT_FALSE(lockable(path)) << c.name << ": the file at the path is not the locked one";
        EXPECT_NE(::fcntl(locked->native_handle(), F_GETFD) & FD_CLOEXEC, 0) << c.name;
      }
      EXPECT_EQ(read_file(path), c.content) << c.name;
      EXPECT_EQ(calls, c.hook_calls) << c.name;
    }
    held.reset();
    EXPECT_TRUE(!fs::exists(path) || lockable(path)) << c.name << ": a lock outlived its PidLock";
  }
}

TEST_F(PidFile, MissingFileIsCreatedWithMode0600) {
  const mode_t saved = ::umask(022);
  auto locked = quernd::daemon::lock_pid_file(path);
  ::umask(saved);
  ASSERT_TRUE(locked) << locked.error().text;
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PidFile, SymlinkIsFollowed) {
  const fs::path target = dir.runtime().root / "real.pid";
  quern_fakes::write_file(target, "123456789");
  fs::create_symlink(target, path);
  auto locked = quernd::daemon::lock_pid_file(path);
  ASSERT_TRUE(locked) << locked.error().text;
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(read_file(target), pid);
  EXPECT_FALSE(lockable(target));
}

TEST_F(PidFile, OpenFailureCarriesTheOsErrorAsCause) {
  const fs::path missing_dir = dir.runtime().root / "no" / "quernd.pid";
  auto locked = quernd::daemon::lock_pid_file(missing_dir);
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error(), (Failure{"pid file " + missing_dir.string(), {OsError::from_errno(ENOENT).what()}}));
}

TEST_F(PidFile, ReleaseUnlocksAndKeepsTheFile) {
  auto locked = quernd::daemon::lock_pid_file(path);
  ASSERT_TRUE(locked);
  const int fd = locked->native_handle();
  {
    // A moved-from lock releases nothing.
    PidLock moved = std::move(*locked);
    { PidLock gone = std::move(*locked); }
    EXPECT_FALSE(lockable(path));
    EXPECT_EQ(moved.native_handle(), fd);
  }
  EXPECT_TRUE(lockable(path));
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the file was not closed";
  EXPECT_EQ(read_file(path), pid);
}

TEST_F(PidFile, LockAtTellsWhetherThePathStillNamesTheFile) {
  struct Case {
    const char* name;
    std::function<void()> change;
    bool locked;
  };
  const fs::path other = dir.runtime().root / "other";
  const std::vector<Case> cases = {
      {"same file", [] {}, true},
      {"path removed", [&] { fs::remove(path); }, false},
      {"path names another file", [&] { quern_fakes::write_file(other, ""), fs::rename(other, path); }, false},
  };
  const fs::path keep = dir.runtime().root / "keep";
  for (const Case& c : cases) {
    fs::remove(path);
    fs::remove(keep);
    quern_fakes::write_file(path, "");
    fs::create_hard_link(path, keep);  // reaches the opened file after the path changed
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    c.change();
    auto result = quernd::daemon::lock_at(fd, path);
    ASSERT_TRUE(result) << c.name << ": " << result.error().text;
    EXPECT_EQ(result->has_value(), c.locked) << c.name;
    EXPECT_EQ(lockable(keep), !c.locked) << c.name;
    if (!c.locked) { EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << c.name << ": the file was not closed"; }
  }
}

// ---------------------------------------------------------------- bind

class Bind : public ::testing::Test {
 protected:
  std::shared_ptr<Daemon> make_daemon(const Timings& timings = Timings::product()) {
    return std::make_shared<Daemon>(quernd::registry::Registry(dir.runtime(), "boot", children, timings),
                                    FakeSupervisor{}, io.get_executor(), timings);
  }
  asio::io_context io;
  quern_fakes::TempRuntime dir;
  quernd::reaper::Children children;
  fs::path socket = dir.runtime().daemon_socket();
  fs::path pid_file = dir.runtime().daemon_pid_file();
};

TEST_F(Bind, Cases) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<void>()> setup;
    std::optional<Failure> error;  // none: bound
    std::function<void()> check;   // what else must hold afterwards
  };
  const std::string shown = socket.string();
  auto in_the_way = [&](const std::string& what) {
    return Failure{"bind " + shown, {"a file that is not a socket is in the way: " + what}};
  };
  const std::vector<Case> cases = {
      {"nothing there", [] { return nullptr; }, {}, [] {}},
      {"stale socket file replaced",
       [&] {
         dead_socket(socket);
         return nullptr;
       },
       {}, [] {}},
      {"a daemon answers", [&] { return std::static_pointer_cast<void>(listening_socket(socket)); },
       Failure{"a daemon already answers at " + shown, {}}, [&] { EXPECT_TRUE(connects(socket)); }},
      {"pid file held: the socket is not touched",
       [&] {
         dead_socket(socket);
         quern_fakes::write_file(pid_file, "4242");
         auto fd = std::shared_ptr<int>(new int(::open(pid_file.c_str(), O_RDWR | O_CLOEXEC)), [](int* f) {
           ::close(*f);
           delete f;
         });
         EXPECT_EQ(::flock(*fd, LOCK_EX | LOCK_NB), 0);
         return std::static_pointer_cast<void>(fd);
       },
       Failure{"pid file " + pid_file.string() + " is held by another daemon (EAGAIN: Try again)", {}},
       [&] {
         EXPECT_EQ(fs::status(socket).type(), fs::file_type::socket);
         EXPECT_EQ(read_file(pid_file), "4242");
       }},
#if defined(__linux__)
      // Only a socket file is taken for a stale one: whatever else is there
      // (Linux refuses a connect to any of these, so the probe finds nothing
      // listening) stays, and is named.
      {"a directory with entries stays",
       [&] {
         fs::create_directories(socket / "inside");
         return nullptr;
       },
       in_the_way("a directory"), [&] { EXPECT_TRUE(fs::is_directory(socket / "inside")); }},
      {"an empty directory stays",
       [&] {
         fs::create_directory(socket);
         return nullptr;
       },
       in_the_way("a directory"), [&] { EXPECT_TRUE(fs::is_directory(socket)); }},
      {"a regular file stays",
       [&] {
         quern_fakes::write_file(socket, "kept");
         return nullptr;
       },
       in_the_way("a regular file"), [&] { EXPECT_EQ(read_file(socket), "kept"); }},
      {"a named pipe stays",
       [&] {
         EXPECT_EQ(::mkfifo(socket.c_str(), 0600), 0);
         return nullptr;
       },
       in_the_way("a named pipe"), [&] { EXPECT_EQ(fs::symlink_status(socket).type(), fs::file_type::fifo); }},
      {"a dangling symbolic link stays",
       [&] {
         fs::create_symlink(socket.native() + "-nowhere", socket);
         return nullptr;
       },
       in_the_way("a symbolic link"),
       [&] {
         EXPECT_TRUE(fs::is_symlink(socket));
         EXPECT_FALSE(fs::exists(socket.native() + "-nowhere"));
       }},
      {"a symbolic link to a stale socket stays",
       [&] {
         dead_socket(socket.native() + "-target");
         fs::create_symlink(socket.native() + "-target", socket);
         return nullptr;
       },
       in_the_way("a symbolic link"),
       [&] {
         EXPECT_TRUE(fs::is_symlink(socket));
         EXPECT_EQ(fs::status(socket.native() + "-target").type(), fs::file_type::socket);
       }},
#endif
  };
  for (const Case& c : cases) {
    std::error_code ignored;
    fs::remove_all(socket, ignored);
    fs::remove(pid_file, ignored);
    auto held = c.setup();
    auto daemon = make_daemon();
    auto bound = quern_fakes::run(io, daemon->bind());
    if (c.error) {
      ASSERT_FALSE(bound) << c.name;
      EXPECT_EQ(bound.error(), *c.error) << c.name;
      c.check();
      held.reset();
      EXPECT_TRUE(lockable(pid_file)) << c.name << ": the pid lock was kept";
    } else {
      ASSERT_TRUE(bound) << c.name << ": " << quernd::daemon::report(bound.error());
      EXPECT_TRUE(connects(socket)) << c.name;
      EXPECT_EQ(fs::status(socket).permissions(), fs::perms::owner_read | fs::perms::owner_write) << c.name;
      EXPECT_NE(::fcntl(bound->listener.native_handle(), F_GETFD) & FD_CLOEXEC, 0) << c.name;
      EXPECT_EQ(read_file(pid_file), std::to_string(::getpid())) << c.name;
      EXPECT_FALSE(lockable(pid_file)) << c.name;
      c.check();
    }
  }
}

TEST_F(Bind, ProbeThatTimesOutStopsStartUp) {
  quern_fakes::JammedSocket jammed(socket);
  Timings timings = Timings::product();
  timings.probe = 500ms;
  auto daemon = make_daemon(timings);
  auto bound = quern_fakes::run(io, daemon->bind());
  ASSERT_FALSE(bound);
  EXPECT_EQ(bound.error(), (Failure{"cannot probe " + socket.string() + ": connect timed out", {}}));
  EXPECT_TRUE(lockable(pid_file));
  EXPECT_EQ(fs::status(socket).type(), fs::file_type::socket);
}

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
    for (const auto& chain : daemon.kill_chains) quern_fakes::run(io, chain.join());
  }
  asio::io_context io;
  quern_fakes::TempRuntime dir;
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
  quern_fakes::run(io, daemon->drain());
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
  quern_fakes::run(io, daemon->drain());
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
  quern_fakes::run(io, daemon->drain());
  EXPECT_GE(std::chrono::steady_clock::now() - start, timings.drain);
  EXPECT_EQ(err.text(), "quernd: shutdown with kill chains still in flight\n");
  EXPECT_FALSE(chains[0].finished());
  EXPECT_TRUE(chains[1].finished());
  EXPECT_TRUE(chains[2].finished());

  // Dropping the handle neither cancelled the chain nor stopped it.
  quern_fakes::run(io, chains[0].join());
  EXPECT_EQ(state.finished, 3);
}

}  // namespace
