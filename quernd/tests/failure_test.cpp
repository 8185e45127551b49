// The start-up errors: their chain of causes and the report that shows it.
#include "failure.hpp"

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


namespace msg = quern_protocol::message;
using quern_session::OsError;
using quernd::daemon::Failure;
using PtyId = msg::PtyId;

// A kill_tree that ends no process: it records each root, waits as long as


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

}  // namespace
