#include "transport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "fakes/raw_peer.hpp"
#include "quern_test_support/runtime.hpp"
#include "quern_protocol/bytes.hpp"
#include "task.hpp"

namespace {

namespace asio = boost::asio;
using quern_fakes::frame_bytes;
using quern_fakes::RawPeer;
using quern_fakes::run_until;
using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quern_protocol::frame::Frame;
using quernd::task::Task;
using quernd::transport::UnixReader;
using quernd::transport::UnixStream;
using quernd::transport::UnixWriter;

std::string text(const Bytes& b) { return std::string(b.view()); }

class UnixTransport : public ::testing::Test {
 protected:
  UnixTransport() {
    ::signal(SIGPIPE, SIG_IGN);
    auto [p, socket] = RawPeer::pair(io);
    peer.emplace(std::move(p));
    auto [r, w] = UnixStream(std::move(socket)).split();
    reader.emplace(std::move(r));
    writer.emplace(std::move(w));
  }

  // The reader's next result, read as a task of its own while the peer is
  // polled; none when it is still waiting after `limit`.
  std::optional<std::optional<Frame>> next(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::optional<std::optional<Frame>> got;
    Task t = Task::spawn(io.get_executor(), [](UnixReader& r, auto& got) -> asio::awaitable<void> {
      got.emplace(co_await r.next());
    }(*reader, got));
    run_until(io, [&] { peer->poll(); return got.has_value(); }, limit);
    if (got) return got;
    // Still waiting: abandon the call, as a caller's time limit does.
    t.abort();
    run_until(io, [&] { return t.finished(); });
    return std::nullopt;
  }

  asio::io_context io;
  std::optional<RawPeer> peer;
  std::optional<UnixReader> reader;
  std::optional<UnixWriter> writer;
};

TEST_F(UnixTransport, TwoFramesInOneReadComeOutOfTwoCalls) {
  peer->send(frame_bytes(R"({"a":1})", "xy") + frame_bytes(R"({"b":2})"));
  auto first = next();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ(text((*first)->json), R"({"a":1})");
  EXPECT_EQ(text((*first)->payload), "xy");
  // The second is already in the buffer: no more bytes are needed.
  peer->close();
  auto second = next();
  ASSERT_TRUE(second && *second);
  EXPECT_EQ(text((*second)->json), R"({"b":2})");
  auto end = next();
  ASSERT_TRUE(end);
  EXPECT_FALSE(*end);
}

TEST_F(UnixTransport, AFrameLargerThanTheFirstBufferArrivesWhole) {
  const std::string payload(300'000, 'p');
  peer->send(frame_bytes(R"({"type":"write","id":"a"})", payload));
  auto got = next();
  ASSERT_TRUE(got && *got);
  EXPECT_EQ((*got)->payload.size(), payload.size());
  EXPECT_EQ(text((*got)->payload), payload);
}

TEST_F(UnixTransport, TheEndInTheMiddleOfAFrameEndsTheIncomingSide) {
  const std::string whole = frame_bytes(R"({"type":"list"})");
  peer->send(whole.substr(0, whole.size() - 3));
  EXPECT_FALSE(next(std::chrono::milliseconds(50))) << "half a frame is not a frame";
  peer->shutdown_send();
  auto got = next();
  ASSERT_TRUE(got);
  EXPECT_FALSE(*got);
}

TEST_F(UnixTransport, AHeaderOverTheCapEndsTheIncomingSideAtOnce) {
  // Only the 8 header bytes arrive; the connection stays open.
  peer->send(std::string("\x00\x80\x00\x01\x00\x00\x00\x00", 8));  // 8,388,609
  auto got = next();
  ASSERT_TRUE(got) << "must not wait for the rest";
  EXPECT_FALSE(*got);
}

TEST_F(UnixTransport, WriteSendsHeadAndPayloadWithoutJoiningThem) {
  // Big enough that the socket cannot take it at once: the write waits for
  // the peer to read and finishes byte for byte.
  const std::string payload(3 * 1024 * 1024 + 7, 'q');
  auto frame = quern_protocol::frame::encode_frame_parts(
      Bytes::copy_from(std::string_view(R"({"k":"v"})")).span(), Bytes::copy_from(payload));
  ASSERT_TRUE(frame.has_value());
  const Bytes shared = frame->payload;

  std::optional<bool> written;
  peer->reading(false);
  Task t = Task::spawn(io.get_executor(), [](UnixWriter& w, EncodedFrame f, auto& out) -> asio::awaitable<void> {
    out = co_await w.write(std::move(f));
  }(*writer, std::move(*frame), written));
  quern_fakes::run_for(io, std::chrono::milliseconds(30), [&] { peer->poll(); });
  EXPECT_FALSE(written.has_value()) << "a peer that does not read holds the write";

  peer->reading(true);
  ASSERT_TRUE(run_until(io, [&] { peer->poll(); return written.has_value() && peer->received().size() >= 8 + 9 + payload.size(); }));
  EXPECT_EQ(written, true);
  EXPECT_EQ(peer->received(), frame_bytes(R"({"k":"v"})", payload));
  EXPECT_EQ(shared.use_count(), 1) << "the frame's buffers are released after the write";
}

TEST_F(UnixTransport, ABatchLeavesWholeAndInOrderWhateverTheIovecLimit) {
  // More frames than one system call can gather, some without a payload,
  // to a peer that reads late: every byte arrives, in order.
  std::vector<EncodedFrame> frames;
  std::string expected;
  for (int i = 0; i < 1500; ++i) {
    const std::string json = R"({"n":)" + std::to_string(i) + "}";
    const std::string payload = i % 3 == 0 ? "" : std::string(static_cast<std::size_t>(i % 700), 'a' + i % 26);
    frames.push_back(*quern_protocol::frame::encode_frame_parts(Bytes::copy_from(json).span(), Bytes::copy_from(payload)));
    expected += frame_bytes(json, payload);
  }
  std::optional<bool> written;
  peer->reading(false);
  Task t = Task::spawn(io.get_executor(), [](UnixWriter& w, std::vector<EncodedFrame> f, auto& out) -> asio::awaitable<void> {
    out = co_await w.write_batch(f);
  }(*writer, std::move(frames), written));
  quern_fakes::run_for(io, std::chrono::milliseconds(20), [&] { peer->poll(); });
  peer->reading(true);
  ASSERT_TRUE(run_until(io, [&] { peer->poll(); return written.has_value() && peer->received().size() >= expected.size(); }));
  EXPECT_EQ(written, true);
  EXPECT_EQ(peer->received(), expected);
}

TEST_F(UnixTransport, WriteToAGonePeerFails) {
  peer->close();
  auto frame = quern_protocol::frame::encode_frame_parts({}, Bytes::copy_from(std::string_view("x")));
  bool written = quern_test_support::run(io, writer->write(std::move(*frame)));
  EXPECT_FALSE(written);
}

TEST_F(UnixTransport, FinishShutsDownSendingOnlyAndKeepsTheReaderWorking) {
  quern_test_support::run(io, std::move(*writer).finish());
  ASSERT_TRUE(run_until(io, [&] { peer->poll(); return peer->eof(); }));
  peer->send(frame_bytes(R"({"still":"reading"})"));
  auto got = next();
  ASSERT_TRUE(got && *got);
  EXPECT_EQ(text((*got)->json), R"({"still":"reading"})");
}

TEST_F(UnixTransport, OverflowShutsDownSendingToo) {
  quern_test_support::run(io, std::move(*writer).overflow());
  EXPECT_TRUE(run_until(io, [&] { peer->poll(); return peer->eof(); }));
}

TEST_F(UnixTransport, KeepaliveNeverCompletes) {
  using namespace asio::experimental::awaitable_operators;
  auto raced = quern_test_support::run(io, [](UnixWriter& w) -> asio::awaitable<std::variant<bool, std::monostate>> {
    asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(50));
    co_return co_await (w.keepalive() || timer.async_wait(asio::use_awaitable));
  }(*writer));
  EXPECT_EQ(raced.index(), 1u);
  peer->poll();
  EXPECT_TRUE(peer->received().empty());
}

}  // namespace
