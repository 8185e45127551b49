#include "outbound.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "quern_test_support/runtime.hpp"
#include "frame_ring.hpp"
#include "sync.hpp"
#include "task.hpp"

namespace {

namespace asio = boost::asio;
using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quernd::frame_ring::FrameRing;
using quernd::outbound::ADMISSION_THRESHOLD;
using quernd::outbound::Closed;
using quernd::outbound::HARD_LIMIT;
using quernd::outbound::Outbound;
using quernd::outbound::Overflowed;
using quernd::outbound::Popped;
using quernd::sync::WakeAll;
using quernd::sync::WakeOne;
using quernd::task::Task;

// The largest frame the codec allows: the cap plus the totalLen word.
constexpr std::size_t LARGEST_FRAME = 8'388'612;

// A frame of exactly `n` bytes whose head starts with `tag`. Payloads share
// one buffer, so big frames cost nothing.
EncodedFrame sized(std::size_t n, std::uint8_t tag = 0) {
  static const Bytes zeros = Bytes::build(LARGEST_FRAME, [](std::uint8_t* p) {
    for (std::size_t i = 0; i < LARGEST_FRAME; ++i) p[i] = 0;
  });
  const std::size_t head = n < 8 ? n : 8;
  return EncodedFrame{Bytes::build(head, [&](std::uint8_t* p) {
                        for (std::size_t i = 0; i < head; ++i) p[i] = tag;
                      }),
                      zeros.slice(0, n - head)};
}

std::uint8_t tag_of(const EncodedFrame& f) { return f.head.empty() ? 0 : f.head[0]; }

class OutboundTest : public ::testing::Test {
 protected:
  // Runs what is ready now, without waiting for anything.
  void settle() {
    io.restart();
    io.poll();
  }
  std::shared_ptr<Outbound> queue(bool lossy) { return Outbound::create(io.get_executor(), lossy); }
  // A push running as a task of its own; `result` is set when it returns.
  Task push_task(std::shared_ptr<Outbound> out, EncodedFrame f, std::optional<bool>& result) {
    return Task::spawn(io.get_executor(),
                       [](std::shared_ptr<Outbound> out, EncodedFrame f,
                          std::optional<bool>& result) -> asio::awaitable<void> {
                         result = co_await out->push(std::move(f));
                       }(std::move(out), std::move(f), result));
  }
  Popped pop_now(Outbound& out) {
    auto popped = out.try_pop();
    EXPECT_TRUE(popped.has_value()) << "pop would wait";
    return popped ? std::move(*popped) : Popped{Closed{}};
  }

  asio::io_context io;
};

// ---- the two limits at their boundaries ---------------------------------

enum class Op { TryPush, Push };
enum class Outcome { Queued, HandedBack, Waits, Overflows };

struct LimitCase {
  const char* name;
  bool lossy;
  std::vector<std::size_t> queued;  // sizes of the frames queued before
  Op op;
  std::size_t frame;
  Outcome outcome;
};
void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

class Limits : public OutboundTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limits, AtTheirExactBoundaries) {
  // try_push weighs only what is queued before the frame (refusing above
  // 1 MiB); push weighs the frame too (8 MiB), and takes anything into an
  // empty queue.
  const auto& c = GetParam();
  auto out = queue(c.lossy);
  std::size_t before = 0;
  for (std::size_t n : c.queued) {
    ASSERT_TRUE(out->try_push(sized(n, 1)));
    before += n;
  }
  ASSERT_EQ(out->bytes(), before);

  std::optional<bool> pushed;
  if (c.op == Op::TryPush) {
    auto got = out->try_push(sized(c.frame, 9));
    if (c.outcome == Outcome::HandedBack) {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(tag_of(got.error().frame), 9);
      EXPECT_EQ(got.error().frame.size(), c.frame);
      EXPECT_EQ(out->bytes(), before);
      return;
    }
    ASSERT_TRUE(got.has_value());
  } else {
    push_task(out, sized(c.frame, 9), pushed);
    settle();
  }

  switch (c.outcome) {
    case Outcome::Queued: {
      if (c.op == Op::Push) {
        ASSERT_EQ(pushed, true);
      }
      EXPECT_EQ(out->bytes(), before + c.frame);
      for (std::size_t i = 0; i < c.queued.size(); ++i)
        EXPECT_EQ(tag_of(std::get<EncodedFrame>(pop_now(*out))), 1);
      auto last = pop_now(*out);
      EXPECT_EQ(tag_of(std::get<EncodedFrame>(last)), 9);
      EXPECT_EQ(out->bytes(), 0u);
      break;
    }
    case Outcome::Waits: {
      EXPECT_FALSE(pushed.has_value()) << "the push must wait for room";
      EXPECT_EQ(out->bytes(), before);
      // Taking the frame in front makes room: the push goes in.
      EXPECT_EQ(tag_of(std::get<EncodedFrame>(pop_now(*out))), 1);
      settle();
      EXPECT_EQ(pushed, true);
      EXPECT_EQ(out->bytes(), c.frame);
      break;
    }
    case Outcome::Overflows: {
      EXPECT_EQ(pushed, false);
      EXPECT_TRUE(out->overflowed());
      EXPECT_EQ(out->bytes(), 0u);
      EXPECT_TRUE(std::holds_alternative<Overflowed>(pop_now(*out)));
      break;
    }
    case Outcome::HandedBack:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, Limits,
    ::testing::Values(
        LimitCase{"try_push_at_1MiB_takes_any_frame", false, {ADMISSION_THRESHOLD}, Op::TryPush,
                  LARGEST_FRAME, Outcome::Queued},
        LimitCase{"try_push_at_1MiB_lossy", true, {ADMISSION_THRESHOLD}, Op::TryPush,
                  LARGEST_FRAME, Outcome::Queued},
        LimitCase{"try_push_counts_every_queued_frame", false, {524'288, 524'289}, Op::TryPush, 1,
                  Outcome::HandedBack},
        LimitCase{"try_push_above_1MiB_hands_back", false, {ADMISSION_THRESHOLD + 1}, Op::TryPush,
                  1, Outcome::HandedBack},
        LimitCase{"try_push_above_1MiB_lossy", true, {ADMISSION_THRESHOLD + 1}, Op::TryPush, 1,
                  Outcome::HandedBack},
        LimitCase{"push_largest_frame_into_empty", false, {}, Op::Push, LARGEST_FRAME,
                  Outcome::Queued},
        LimitCase{"push_largest_frame_into_empty_lossy", true, {}, Op::Push, LARGEST_FRAME,
                  Outcome::Queued},
        LimitCase{"push_up_to_exactly_8MiB", false, {HARD_LIMIT - 10}, Op::Push, 10,
                  Outcome::Queued},
        LimitCase{"push_up_to_exactly_8MiB_lossy", true, {HARD_LIMIT - 10}, Op::Push, 10,
                  Outcome::Queued},
        LimitCase{"push_one_byte_over_waits", false, {HARD_LIMIT - 10}, Op::Push, 11,
                  Outcome::Waits},
        LimitCase{"push_one_byte_over_overflows_lossy", true, {HARD_LIMIT - 10}, Op::Push, 11,
                  Outcome::Overflows}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- lossy overflow, close ------------------------------------------------

TEST_F(OutboundTest, AnOverflowedQueueStaysOverflowed) {
  // Every later pop reports the overflow, before any frame queued after it;
  // every later push fails at once; try_push still queues.
  auto out = queue(true);
  ASSERT_TRUE(out->try_push(sized(HARD_LIMIT - 5, 1)));
  ASSERT_TRUE(quern_test_support::run(io, out->push(sized(5, 2))));
  std::optional<bool> pushed;
  push_task(out, sized(1, 3), pushed);
  settle();
  ASSERT_EQ(pushed, false);
  EXPECT_EQ(out->bytes(), 0u);

  ASSERT_TRUE(out->try_push(sized(20, 4)));
  EXPECT_EQ(out->bytes(), 20u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::holds_alternative<Overflowed>(pop_now(*out)));

  pushed.reset();
  push_task(out, sized(1, 5), pushed);
  settle();
  EXPECT_EQ(pushed, false);
}

TEST_F(OutboundTest, CloseDiscardsFramesAndFailsAWaitingPush) {
  auto out = queue(false);
  ASSERT_TRUE(out->try_push(sized(HARD_LIMIT, 1)));
  std::optional<bool> pushed;
  push_task(out, sized(100, 2), pushed);
  settle();
  ASSERT_FALSE(pushed.has_value());

  out->close();
  settle();
  EXPECT_EQ(pushed, false);
  EXPECT_EQ(out->bytes(), 0u);
  EXPECT_TRUE(std::holds_alternative<Closed>(pop_now(*out)));

  // A second close changes nothing; try_push still queues, and its frame
  // comes out before the end.
  out->close();
  ASSERT_TRUE(out->try_push(sized(30, 3)));
  EXPECT_EQ(tag_of(std::get<EncodedFrame>(pop_now(*out))), 3);
  EXPECT_TRUE(std::holds_alternative<Closed>(pop_now(*out)));
  EXPECT_TRUE(std::holds_alternative<Closed>(pop_now(*out)));
}

TEST_F(OutboundTest, AWaitingPopWakesForAFrameAndForTheClose) {
  auto out = queue(false);
  std::vector<Popped> got;
  Task consumer = Task::spawn(io.get_executor(), [](std::shared_ptr<Outbound> out,
                                                    std::vector<Popped>& got) -> asio::awaitable<void> {
    for (;;) {
      got.push_back(co_await out->pop());
      if (std::holds_alternative<Closed>(got.back())) co_return;
    }
  }(out, got));
  settle();
  EXPECT_TRUE(got.empty());
  ASSERT_TRUE(out->try_push(sized(10, 1)));
  std::optional<bool> pushed;
  push_task(out, sized(10, 2), pushed);
  settle();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(tag_of(std::get<EncodedFrame>(got[0])), 1);
  EXPECT_EQ(tag_of(std::get<EncodedFrame>(got[1])), 2);
  out->close();
  settle();
  EXPECT_TRUE(consumer.finished());
  EXPECT_TRUE(std::holds_alternative<Closed>(got.back()));
}

// ---- drained ----------------------------------------------------------------

TEST_F(OutboundTest, DrainedReturnsAtOnceOnAnEmptyClosedOrOverflowedQueue) {
  auto empty = queue(false);
  quern_test_support::run(io, empty->drained());

  auto closed = queue(false);
  ASSERT_TRUE(closed->try_push(sized(10)));
  closed->close();
  quern_test_support::run(io, closed->drained());

  auto overflowed = queue(true);
  ASSERT_TRUE(overflowed->try_push(sized(HARD_LIMIT)));
  std::optional<bool> pushed;
  push_task(overflowed, sized(1), pushed);
  settle();
  ASSERT_TRUE(overflowed->overflowed());
  ASSERT_TRUE(overflowed->try_push(sized(10)));  // bytes are not 0 again
  quern_test_support::run(io, overflowed->drained());
}

TEST_F(OutboundTest, DrainedWaitsForTheLastFrameToBeTaken) {
  auto out = queue(false);
  ASSERT_TRUE(out->try_push(sized(10)));
  ASSERT_TRUE(out->try_push(sized(10)));
  Task drain = Task::spawn(io.get_executor(), out->drained());
  settle();
  pop_now(*out);
  settle();
  EXPECT_FALSE(drain.finished());
  pop_now(*out);
  settle();
  EXPECT_TRUE(drain.finished());
}

TEST_F(OutboundTest, TakeMoreCountsOutFramesInOrderWithinItsLimits) {
  // Frames taken for a batch leave the count as they would by pop, the
  // last one wakes `drained`, and an overflowed queue gives none.
  auto q = queue(false);
  for (std::uint8_t tag = 1; tag <= 6; ++tag) ASSERT_TRUE(q->try_push(sized(100, tag)));
  bool drained = false;
  Task waiting = Task::spawn(io.get_executor(), [](std::shared_ptr<Outbound> q, bool& done) -> asio::awaitable<void> {
    co_await q->drained();
    done = true;
  }(q, drained));
  settle();

  std::vector<EncodedFrame> batch;
  q->take_more(batch, 2, 1 << 20);
  ASSERT_EQ(batch.size(), 2u) << "at most two frames";
  EXPECT_EQ(q->bytes(), 400u);
  q->take_more(batch, 10, 350);
  ASSERT_EQ(batch.size(), 4u) << "no more once the batch holds 350 bytes";
  settle();
  EXPECT_FALSE(drained);
  q->take_more(batch, 10, 1 << 20);
  ASSERT_EQ(batch.size(), 6u);
  for (std::size_t i = 0; i < batch.size(); ++i) EXPECT_EQ(tag_of(batch[i]), i + 1);
  EXPECT_EQ(q->bytes(), 0u);
  settle();
  EXPECT_TRUE(drained);

  auto lossy = queue(true);
  ASSERT_TRUE(lossy->try_push(sized(HARD_LIMIT)));
  ASSERT_FALSE(quern_test_support::run(io, lossy->push(sized(100))));
  ASSERT_TRUE(lossy->try_push(sized(100)));
  std::vector<EncodedFrame> none;
  lossy->take_more(none, 10, 1 << 20);
  EXPECT_TRUE(none.empty()) << "the overflow comes before any frame";
}

TEST_F(OutboundTest, AnOverflowDoesNotWakeDrainedButTheCloseDoes) {
  // Only item_ready hears of an overflow: a drained waiter goes on until the
  // writer, told of the overflow, closes the queue.
  auto out = queue(true);
  ASSERT_TRUE(out->try_push(sized(HARD_LIMIT)));
  Task drain = Task::spawn(io.get_executor(), out->drained());
  settle();
  std::optional<bool> pushed;
  push_task(out, sized(1), pushed);
  settle();
  ASSERT_EQ(pushed, false);
  EXPECT_FALSE(drain.finished());
  out->close();
  settle();
  EXPECT_TRUE(drain.finished());
}

// ---- several producers ------------------------------------------------------

TEST_F(OutboundTest, OnePopWakesEveryWaitingPushAndOnlyThoseThatFitGoIn) {
  constexpr std::size_t half = HARD_LIMIT / 2;
  auto out = queue(false);
  ASSERT_TRUE(out->try_push(sized(half, 1)));
  ASSERT_TRUE(quern_test_support::run(io, out->push(sized(half, 2))));
  std::optional<bool> small, big;
  push_task(out, sized(half + 1, 4), big);
  push_task(out, sized(half, 3), small);
  settle();
  ASSERT_FALSE(small || big);

  pop_now(*out);  // 4 MiB queued: the 4 MiB frame fits, the bigger one not
  settle();
  EXPECT_EQ(small, true);
  EXPECT_FALSE(big.has_value());
  EXPECT_EQ(out->bytes(), 2 * half);

  pop_now(*out);
  settle();
  EXPECT_FALSE(big.has_value());
  EXPECT_EQ(tag_of(std::get<EncodedFrame>(pop_now(*out))), 3);
  settle();
  EXPECT_EQ(big, true);
  EXPECT_EQ(tag_of(std::get<EncodedFrame>(pop_now(*out))), 4);
  EXPECT_EQ(out->bytes(), 0u);
}

TEST_F(OutboundTest, AnAbortedPushLeavesNoFrameBehind) {
  // Room appears and the push is aborted in the same step: the aborted push
  // runs no further and queues nothing.
  auto out = queue(false);
  ASSERT_TRUE(out->try_push(sized(HARD_LIMIT, 1)));
  std::optional<bool> pushed;
  Task push = push_task(out, sized(10, 2), pushed);
  settle();
  // From within the loop, as the daemon's tasks abort one another.
  asio::post(io, [&] {
    pop_now(*out);
    push.abort();
  });
  settle();
  EXPECT_TRUE(push.finished());
  EXPECT_FALSE(pushed.has_value());
  EXPECT_EQ(out->bytes(), 0u);
}

}  // namespace
