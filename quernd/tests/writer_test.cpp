#include "writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "attach.hpp"
#include "await.hpp"
#include "fakes/raw_peer.hpp"
#include "quern_test_support/runtime.hpp"
#include "frames.hpp"
#include "input_channel.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/message.hpp"
#include "sync.hpp"
#include "writer.hpp"

namespace {

namespace asio = boost::asio;
namespace conn = quernd::conn;
using namespace std::chrono_literals;
using quern_fakes::RawPeer;
using quern_fakes::run_until;
using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quernd::outbound::ADMISSION_THRESHOLD;
using quernd::outbound::HARD_LIMIT;
using quernd::outbound::Outbound;
using quernd::task::Task;

// A frame of exactly `n` bytes (not a message); payloads share one buffer.
EncodedFrame sized(std::size_t n) {
  static const Bytes zeros = Bytes::build(HARD_LIMIT, [](std::uint8_t* p) {
    for (std::size_t i = 0; i < HARD_LIMIT; ++i) p[i] = 0;
  });
  return EncodedFrame{Bytes::copy_from(std::string_view("\0\0\0\0\0\0\0\0", 8)), zeros.slice(0, n - 8)};
}

// ---- the writer task ------------------------------------------------------------

class Writer : public ::testing::Test {
 protected:
  Writer() { ::signal(SIGPIPE, SIG_IGN); }
  asio::io_context io;
};

TEST_F(Writer, AClientThatStopsReadingHoldsTheQueueAndGetsEverythingLater) {
  auto out = Outbound::create(io.get_executor(), false);
  auto [client, socket] = RawPeer::pair(io);
  auto [reader, writer] = quernd::transport::UnixStream(std::move(socket)).split();
  Task task = Task::spawn(io.get_executor(), conn::write_loop(std::move(writer), out));
  client.reading(false);

  constexpr int frames = 160;  // 10 MiB: more than the queue holds
  auto body = [](int i) { return std::string(64 * 1024, static_cast<char>('a' + i % 26)); };
  bool produced = false;
  Task producer = Task::spawn(io.get_executor(), [](std::shared_ptr<Outbound> out, decltype(body) body,
                                                    bool& produced) -> asio::awaitable<void> {
    for (int i = 0; i < frames; ++i) {
      auto f = quern_protocol::frame::encode_frame_parts(
          Bytes::copy_from(std::to_string(i)).span(), Bytes::copy_from(body(i)));
      if (!co_await out->push(std::move(*f))) co_return;
    }
    produced = true;
  }(out, body, produced));

  quern_fakes::run_for(io, 50ms, [&] { client.poll(); });
  EXPECT_FALSE(producer.finished()) << "the producer waits for room";
  EXPECT_LE(out->bytes(), HARD_LIMIT);
  EXPECT_GT(out->bytes(), ADMISSION_THRESHOLD);

  client.reading(true);
  ASSERT_TRUE(run_until(io, [&] { client.poll(); return client.frames().size() == frames; }));
  EXPECT_TRUE(produced);
  for (int i = 0; i < frames; ++i) {
    ASSERT_EQ(client.frames()[i].json, std::to_string(i));
    ASSERT_EQ(client.frames()[i].payload, body(i));
  }

  out->close();
  EXPECT_TRUE(run_until(io, [&] { client.poll(); return task.finished() && client.eof(); }));
}

TEST_F(Writer, AnIdleUnixConnectionCarriesNoKeepaliveAndAnAbortShutsItsSendingDown) {
  auto out = Outbound::create(io.get_executor(), false);
  auto [client, socket] = RawPeer::pair(io);
  auto [reader, writer] = quernd::transport::UnixStream(std::move(socket)).split();
  Task task = Task::spawn(io.get_executor(), conn::write_loop(std::move(writer), out));
  quern_fakes::run_for(io, 100ms, [&] { client.poll(); });
  EXPECT_TRUE(client.received().empty());
  EXPECT_FALSE(client.eof());
  EXPECT_FALSE(task.finished());

  asio::post(io, [&] { task.abort(); });
  ASSERT_TRUE(run_until(io, [&] { client.poll(); return task.finished() && client.eof(); }));
  EXPECT_TRUE(client.received().empty());
}

TEST_F(Writer, AFailedWriteClosesTheQueue) {
  auto out = Outbound::create(io.get_executor(), false);
  auto [client, socket] = RawPeer::pair(io);
  auto [reader, writer] = quernd::transport::UnixStream(std::move(socket)).split();
  Task task = Task::spawn(io.get_executor(), conn::write_loop(std::move(writer), out));
  client.close();
  ASSERT_TRUE(out->try_push(sized(100)));
  ASSERT_TRUE(run_until(io, [&] { return task.finished(); }));
  EXPECT_FALSE(quern_test_support::run(io, out->push(sized(100)))) << "the next push of the connection fails";
}

// A writer that records what the writer task asks of it.
struct Log {
  std::string events;  // 'w' write, 'k' keepalive, 'o' overflow, 'f' finish
  std::vector<std::string> written;
};

struct FakeWriter {
  static constexpr bool sends_keepalives = true;

  std::shared_ptr<Log> log;
  bool keepalive_due = true;  // false: keepalive never completes
  bool keepalive_ok = true;

  asio::awaitable<bool> write(EncodedFrame f) {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    log->events += 'w';
    log->written.push_back(std::string(f.head.view()));
    co_return true;
  }
  asio::awaitable<bool> keepalive() {
    if (!keepalive_due) {
      co_await quernd::wait_forever();
    }
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    log->events += 'k';
    co_return keepalive_ok;
  }
  asio::awaitable<void> overflow() && {
    log->events += 'o';
    co_return;
  }
  asio::awaitable<void> finish() && {
    log->events += 'f';
    co_return;
  }
};
static_assert(quernd::transport::FrameWriter<FakeWriter>);

EncodedFrame named(const std::string& head) { return EncodedFrame{Bytes::copy_from(head), {}}; }

TEST_F(Writer, AnOverflowIsReportedBeforeAnyFrameAndClosesTheQueue) {
  auto out = Outbound::create(io.get_executor(), true);
  ASSERT_TRUE(out->try_push(sized(HARD_LIMIT)));
  // A pump waiting for the queue to drain hears nothing of the overflow
  // itself, only of the close that follows it.
  Task drained = Task::spawn(io.get_executor(), out->drained());
  ASSERT_FALSE(quern_test_support::run(io, out->push(sized(100))));
  ASSERT_TRUE(out->try_push(named("after")));
  ASSERT_FALSE(drained.finished());
  auto log = std::make_shared<Log>();
  quern_test_support::run(io, conn::write_loop(FakeWriter{log, false}, out));
  EXPECT_EQ(log->events, "o");
  EXPECT_TRUE(run_until(io, [&] { return drained.finished(); })) << "the writer closed the queue";
}

TEST_F(Writer, AClosedQueueFinishesTheWriter) {
  auto out = Outbound::create(io.get_executor(), false);
  ASSERT_TRUE(out->try_push(named("discarded")));
  out->close();
  ASSERT_TRUE(out->try_push(named("after the close")));
  auto log = std::make_shared<Log>();
  quern_test_support::run(io, conn::write_loop(FakeWriter{log, false}, out));
  EXPECT_EQ(log->events, "wf");
  EXPECT_EQ(log->written, std::vector<std::string>{"after the close"});
}

TEST_F(Writer, NeitherTheQueueNorTheKeepaliveStarvesTheOther) {
  // Both are always ready: each pass picks its first look at random.
  auto out = Outbound::create(io.get_executor(), false);
  constexpr int frames = 300;
  for (int i = 0; i < frames; ++i) ASSERT_TRUE(out->try_push(named(std::to_string(i))));
  auto log = std::make_shared<Log>();
  Task task = Task::spawn(io.get_executor(), conn::write_loop(FakeWriter{log}, out));
  ASSERT_TRUE(run_until(io, [&] { return log->written.size() == frames; }));
  for (int i = 0; i < frames; ++i) ASSERT_EQ(log->written[i], std::to_string(i));
  const auto keepalives = std::count(log->events.begin(), log->events.end(), 'k');
  EXPECT_GT(keepalives, 10);
  EXPECT_LT(log->events.find('k'), std::size_t{20});
  out->close();
  ASSERT_TRUE(run_until(io, [&] { return task.finished(); }));
  EXPECT_EQ(log->events.back(), 'f');
}

TEST_F(Writer, AFailedKeepaliveClosesTheQueue) {
  auto out = Outbound::create(io.get_executor(), false);
  auto log = std::make_shared<Log>();
  quern_test_support::run(io, conn::write_loop(FakeWriter{log, true, false}, out));
  EXPECT_EQ(log->events, "k");
  EXPECT_FALSE(quern_test_support::run(io, out->push(named("x"))));
}

}  // namespace
