// Taking over the daemon socket at start-up, in each state the runtime
// directory can be in.
#include "bind.hpp"

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
#include "quern_test_support/files.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/socket.hpp"
#include "timings.hpp"

namespace {


namespace asio = boost::asio;
namespace fs = std::filesystem;
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using quernd::daemon::Failure;
using quernd::Timings;
using PtyId = msg::PtyId;
using quern_test_support::dead_socket;
using quern_test_support::lockable;
using quern_test_support::read_file;

using quernd::daemon::Daemon;
using quernd_tests::FakeSupervisor;

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

// ---------------------------------------------------------------- bind

class Bind : public ::testing::Test {
 protected:
  std::shared_ptr<Daemon> make_daemon(const Timings& timings = Timings::product()) {
    return std::make_shared<Daemon>(quernd::registry::Registry(dir.runtime(), "boot", children, timings),
                                    FakeSupervisor{}, io.get_executor(), timings);
  }
  asio::io_context io;
  quern_test_support::TempRuntime dir;
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
    auto bound = quern_test_support::run(io, daemon->bind());
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
  auto bound = quern_test_support::run(io, daemon->bind());
  ASSERT_FALSE(bound);
  EXPECT_EQ(bound.error(), (Failure{"cannot probe " + socket.string() + ": connect timed out", {}}));
  EXPECT_TRUE(lockable(pid_file));
  EXPECT_EQ(fs::status(socket).type(), fs::file_type::socket);
}

}  // namespace
