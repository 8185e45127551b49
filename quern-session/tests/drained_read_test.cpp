// The drained read, watched at the system call: this program replaces recv
// to count the calls made on one socket and those that failed with EAGAIN.
// It says first which read the build has: the drained one, or Asio's own
// where the drained read does not reach into Asio (another Boost version).
#include "quern_session/drained_read.hpp"

#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/write.hpp>
#include <boost/version.hpp>
#include <gtest/gtest.h>

namespace {

int g_watched = -1;
int g_calls = 0;
int g_would_block = 0;

}  // namespace

extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags) {
  using Recv = ssize_t (*)(int, void*, size_t, int);
  static const Recv real = reinterpret_cast<Recv>(::dlsym(RTLD_NEXT, "recv"));
  const ssize_t n = real(fd, buf, len, flags);
  if (fd == g_watched) {
    const int saved = errno;
    ++g_calls;
    if (n < 0 && (saved == EAGAIN || saved == EWOULDBLOCK)) ++g_would_block;
    errno = saved;
  }
  return n;
}

namespace quern_session::drained_read {
namespace {

using namespace std::chrono_literals;

// What this build's `async_read_some` is.
std::string mode() {
  const std::string boost = "Boost " + std::to_string(BOOST_VERSION / 100000) + "." +
                            std::to_string(BOOST_VERSION / 100 % 1000);
  return DRAINED ? "the drained read (" + boost + ")"
                 : "Asio's own read (" + boost + "; the drained read needs 1.81's epoll reactor)";
}

class SayMode : public ::testing::Environment {
 public:
  void SetUp() override { std::cout << "async_read_some is " << mode() << std::endl; }
};
[[maybe_unused]] ::testing::Environment* const say_mode = ::testing::AddGlobalTestEnvironment(new SayMode);

struct Result {
  boost::system::error_code ec;
  std::size_t n = 0;
};

class DrainedReadTest : public ::testing::Test {
 protected:
  DrainedReadTest() {
    asio::local::connect_pair(ours, peer);
    g_watched = ours.native_handle();
    g_calls = g_would_block = 0;
  }
  ~DrainedReadTest() override { g_watched = -1; }

  void send(const std::string& bytes) { asio::write(peer, asio::buffer(bytes)); }

  // Starts a read of up to `size` bytes; `plain` uses Asio's own read.
  std::optional<Result>& start(std::size_t size, bool plain = false) {
    result.reset();
    buffer.assign(size, '\0');
    auto done = [this](boost::system::error_code ec, std::size_t n) { result = Result{ec, n}; };
    if (plain) {
      ours.async_read_some(asio::buffer(buffer), done);
    } else {
      async_read_some(ours, asio::buffer(buffer), asio::bind_cancellation_slot(signal.slot(), done));
    }
    return result;
  }

  // Runs what is ready, waiting at most `limit` for the read to end.
  void settle(std::chrono::milliseconds limit = 200ms) {
    io.restart();
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!result && std::chrono::steady_clock::now() < until) io.run_one_for(10ms);
    io.restart();
    io.poll();
  }

  std::string got() const { return result ? buffer.substr(0, result->n) : std::string("<none>"); }

  asio::io_context io;
  Socket ours{io};
  Socket peer{io};
  std::string buffer;
  std::optional<Result> result;
  asio::cancellation_signal signal;
};

TEST_F(DrainedReadTest, AReadAfterAShortReadWaitsForDataWithoutTryingTheSocket) {
  RecordProperty("read", mode());
  for (bool plain : {true, false}) {
    SCOPED_TRACE(plain ? "Asio's own read" : mode());
    // As in a relay: the read waits, and data comes.
    for (const std::string text : {"first", "second"}) {
      // Counted for the second read, which follows a short one.
      g_calls = g_would_block = 0;
      start(64, plain);
      settle(20ms);
      EXPECT_FALSE(result) << "nothing was sent yet";
      send(text);
      settle();
      ASSERT_TRUE(result);
      EXPECT_FALSE(result->ec);
      EXPECT_EQ(got(), text);
    }
    // Asio's own read tried the empty socket first; the drained one did not.
    const bool tries_first = plain || !DRAINED;
    EXPECT_EQ(g_would_block, tries_first ? 1 : 0);
    EXPECT_EQ(g_calls, tries_first ? 2 : 1);
  }
}

TEST_F(DrainedReadTest, AFullReadLeavesTheNextReadToTakeTheRestAtOnce) {
  send(std::string(100, 'x'));
  std::string all;
  for (int i = 0; i < 3; ++i) {
    start(40);
    settle();
    ASSERT_TRUE(result) << "read " << i;
    all += got();
  }
  EXPECT_EQ(all, std::string(100, 'x'));
  EXPECT_EQ(g_calls, 3);
  EXPECT_EQ(g_would_block, 0) << "the third read was short, and no read failed";
}

TEST_F(DrainedReadTest, ACancelledReadEndsAbortedAndLosesNoByte) {
  send("a");
  start(64);
  settle();
  ASSERT_EQ(got(), "a");
  start(64);
  settle(20ms);
  ASSERT_FALSE(result);
  signal.emit(asio::cancellation_type::terminal);
  settle();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->ec, asio::error::operation_aborted);

  send("after");
  start(64);
  settle();
  ASSERT_TRUE(result);
  EXPECT_EQ(got(), "after");
}

TEST_F(DrainedReadTest, TheEndOfTheStreamWakesAWaitingRead) {
  send("last");
  start(64);
  settle();
  ASSERT_EQ(got(), "last");
  start(64);
  settle(20ms);
  ASSERT_FALSE(result);
  peer.close();
  settle();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->ec, asio::error::eof);
}

TEST_F(DrainedReadTest, AnEmptyBufferCompletesAtOnceWithNothing) {
  start(0);
  settle();
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->ec);
  EXPECT_EQ(result->n, 0u);
  EXPECT_EQ(g_calls, 0);
}

}  // namespace
}  // namespace quern_session::drained_read
