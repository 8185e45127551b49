// The bounded channel: a session's input channel of frames, its order, its
// ends and the place a waiting send keeps; and the waits that only a channel
// of one item uses (the hand-over from a browser's reading task to its
// reader): a receive with a deadline, and a sender that waits for room before
// it makes the next item.
#include "channel.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "quern_test_support/runtime.hpp"
#include "input_channel.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "task.hpp"

namespace {

namespace asio = boost::asio;
namespace channel = quernd::channel;
namespace conn = quernd::conn;
using namespace std::chrono_literals;
using quern_test_support::run;
using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quernd::task::Task;
using Clock = std::chrono::steady_clock;
using Slot = channel::OneSlot<int>;

class OneItemChannel : public ::testing::Test {
 protected:
  void settle() {
    io.restart();
    io.poll();
  }
  asio::io_context io;
};

TEST_F(OneItemChannel, AReceiveWithADeadlineTakesWhatComesAndTimesOutOnlyOnceTheDeadlineHasPassed) {
  auto [sender, receiver] = channel::bounded<Slot>(io.get_executor(), 1);
  ASSERT_TRUE(sender.try_send(1));
  EXPECT_FALSE(sender.try_send(2)) << "one item at most";
  auto got = run(io, receiver.receive_until(Clock::now() - 1s));
  ASSERT_TRUE(got) << "an item waiting is taken, even past the deadline";
  EXPECT_EQ(*got, std::optional<int>(1));

  // Nothing comes: the deadline ends the wait. The guard only keeps a
  // deadline that never fires from hanging the test.
  const auto started = Clock::now();
  std::optional<std::expected<std::optional<int>, channel::TimedOut>> timed;
  Task::spawn_detached(io.get_executor(), [](channel::Receiver<Slot>& r, auto& out, Clock::time_point deadline)
                                     -> asio::awaitable<void> { out = co_await r.receive_until(deadline); }(
                                     receiver, timed, started + 50ms));
  io.restart();
  while (!timed && Clock::now() - started < 60s) io.run_one_for(100ms);
  ASSERT_TRUE(timed) << "the deadline never ended the wait";
  EXPECT_FALSE(*timed) << "nothing came";
  EXPECT_GE(Clock::now() - started, 50ms);

  // An item sent while the receiver waits wakes it long before its deadline.
  std::optional<std::expected<std::optional<int>, channel::TimedOut>> woken;
  Task::spawn_detached(io.get_executor(), [](channel::Receiver<Slot>& r, auto& out) -> asio::awaitable<void> {
    out = co_await r.receive_until(Clock::now() + 1h);
  }(receiver, woken));
  settle();
  ASSERT_FALSE(woken);
  ASSERT_TRUE(sender.try_send(3));
  settle();
  ASSERT_TRUE(woken);
  ASSERT_TRUE(*woken);
  EXPECT_EQ(**woken, std::optional<int>(3));

  // The end, once every sender has gone, is not a time-out.
  { auto gone = std::move(sender); }
  got = run(io, receiver.receive_until(Clock::now() + 1h));
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, std::nullopt);
}

TEST_F(OneItemChannel, RoomWaitsUntilTheItemIsTakenAndFailsOnceTheReceiverHasGone) {
  auto [sender, receiver_] = channel::bounded<Slot>(io.get_executor(), 1);
  std::optional<channel::Receiver<Slot>> receiver(std::move(receiver_));
  EXPECT_TRUE(run(io, sender.room()));

  auto wait_for_room = [](channel::Sender<Slot>& s, std::optional<bool>& out) -> asio::awaitable<void> {
    out = co_await s.room();
  };
  ASSERT_TRUE(sender.try_send(1));
  std::optional<bool> room;
  Task::spawn_detached(io.get_executor(), wait_for_room(sender, room));
  settle();
  ASSERT_FALSE(room) << "full";
  EXPECT_EQ(run(io, receiver->receive()), std::optional<int>(1));
  settle();
  EXPECT_EQ(room, true);

  ASSERT_TRUE(sender.try_send(2));
  room.reset();
  Task::spawn_detached(io.get_executor(), wait_for_room(sender, room));
  settle();
  ASSERT_FALSE(room);
  receiver.reset();
  settle();
  EXPECT_EQ(room, false);
  EXPECT_FALSE(run(io, sender.room())) << "at once";
  EXPECT_FALSE(sender.try_send(3));
}

// ---- the input channel --------------------------------------------------------

class Channel : public ::testing::Test {
 protected:
  EncodedFrame tagged(int i) { return EncodedFrame{Bytes::copy_from(std::to_string(i)), {}}; }
  static std::string tag(const EncodedFrame& f) { return std::string(f.head.view()); }
  void settle() {
    io.restart();
    io.poll();
  }
  asio::io_context io;
};

TEST_F(Channel, HoldsThirtyTwoInOrderAndEndsWhenEverySenderIsGone) {
  auto [sender, receiver] = conn::input_channel(io.get_executor());
  std::optional<conn::InputSender> copy(sender);
  for (int i = 0; i < 32; ++i) ASSERT_TRUE((i % 2 ? sender : *copy).try_send(tagged(i)));
  EXPECT_FALSE(sender.try_send(tagged(99)));
  for (int i = 0; i < 32; ++i) {
    auto f = quern_test_support::run(io, receiver.receive());
    ASSERT_TRUE(f);
    EXPECT_EQ(tag(*f), std::to_string(i));
  }
  EXPECT_TRUE(sender.try_send(tagged(32)));
  { conn::InputSender gone = std::move(sender); }
  copy.reset();
  auto last = quern_test_support::run(io, receiver.receive());
  ASSERT_TRUE(last);
  EXPECT_EQ(tag(*last), "32");
  EXPECT_FALSE(quern_test_support::run(io, receiver.receive())) << "the end after the last frame";
}

TEST_F(Channel, AWaitingSendHasTheNextPlaceAndFailsWhenTheReceiverGoes) {
  auto [sender, receiver_] = conn::input_channel(io.get_executor());
  std::optional<conn::InputReceiver> receiver(std::move(receiver_));
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(sender.try_send(tagged(i)));
  std::optional<bool> sent;
  auto waiting = [](conn::InputSender s, EncodedFrame f, std::optional<bool>& out) -> asio::awaitable<void> {
    out = co_await s.send(std::move(f));
  };
  Task::spawn_detached(io.get_executor(), waiting(sender, tagged(100), sent));
  settle();
  ASSERT_FALSE(sent);

  // A frame is taken and, in the same step, try_send is offered: the freed
  // place belongs to the waiting send.
  std::optional<bool> stolen;
  Task::spawn_detached(io.get_executor(), [](conn::InputReceiver& r, conn::InputSender& s, EncodedFrame f,
                                             std::optional<bool>& stolen) -> asio::awaitable<void> {
    (void)co_await r.receive();
    stolen = s.try_send(std::move(f));
  }(*receiver, sender, tagged(200), stolen));
  settle();
  EXPECT_EQ(stolen, false);
  EXPECT_EQ(sent, true);

  // Full again; the receiver goes: a waiting send fails, and so does try_send.
  std::optional<bool> refused;
  Task::spawn_detached(io.get_executor(), waiting(sender, tagged(300), refused));
  settle();
  ASSERT_FALSE(refused);
  receiver.reset();
  settle();
  EXPECT_EQ(refused, false);
  EXPECT_FALSE(sender.try_send(tagged(400)));
}

}  // namespace
