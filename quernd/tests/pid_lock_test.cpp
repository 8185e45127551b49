// The pid-file lock: taking it, what it leaves behind, and whether the path
// still names the locked file.
#include "pid_lock.hpp"

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
#include "quern_test_support/runtime.hpp"
#include "kill_chain.hpp"
#include "pid_lock.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/socket.hpp"
#include "timings.hpp"

namespace {


namespace fs = std::filesystem;
namespace msg = quern_protocol::message;
using quern_session::OsError;
using quernd::daemon::Failure;
using quernd::daemon::PidLock;
using PtyId = msg::PtyId;
using quern_test_support::lockable;
using quern_test_support::read_file;

// A kill_tree that ends no process: it records each root, waits as long as
// ---------------------------------------------------------------- pid lock

class PidFile : public ::testing::Test {
 protected:
  quern_test_support::TempRuntime dir;
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

}  // namespace
