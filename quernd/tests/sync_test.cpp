// The wake-ups a task waits on and the permits taken without waiting.
#include "sync.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "quern_test_support/runtime.hpp"
#include "task.hpp"

namespace {

namespace asio = boost::asio;
using quernd::sync::WakeAll;
using quernd::sync::WakeOne;
using quernd::task::Task;

class SyncTest : public ::testing::Test {
 protected:
  // Runs what is ready now, without waiting for anything.
  void settle() {
    io.restart();
    io.poll();
  }

  asio::io_context io;
};

// ---- the wake-ups -------------------------------------------------------------

TEST_F(SyncTest, WakeOneKeepsOneWakeUpForTheNextWaiter) {
  WakeOne wake(io.get_executor());
  wake.notify_one();
  wake.notify_one();
  quern_test_support::run(io, wake.wait());  // the kept wake-up: returns at once

  Task waiter = Task::spawn(io.get_executor(), wake.wait());
  settle();
  EXPECT_FALSE(waiter.finished()) << "only one wake-up is kept";
  wake.notify_one();
  settle();
  EXPECT_TRUE(waiter.finished());
}

// A waiter that records each time it returns from a wait.
asio::awaitable<void> count_wakes(WakeOne& wake, int& woken) {
  for (;;) {
    co_await wake.wait();
    ++woken;
  }
}

TEST_F(SyncTest, WakeOneRunsTheWaiterAtOnceOrFromTheQueueAsAsked) {
  WakeOne wake(io.get_executor());
  int woken = 0;
  Task waiter = Task::spawn(io.get_executor(), count_wakes(wake, woken));
  settle();

  wake.notify_one(quernd::sync::Wake::now);
  EXPECT_EQ(woken, 1) << "the waiter ran before notify_one returned";

  wake.notify_one(quernd::sync::Wake::later);
  EXPECT_EQ(woken, 1) << "the waiter waits for its turn";
  settle();
  EXPECT_EQ(woken, 2);

  waiter.abort();
  settle();
  EXPECT_TRUE(waiter.finished());
}

TEST(WakeOneLifetime, AWaitStillPendingWhenTheLoopEndsGoesWithIt) {
  // The waiter's frame owns the wake-up it waits on, as a pump owns its
  // channel: ending the loop must still free both.
  struct Holder {
    explicit Holder(const asio::any_io_executor& ex) : wake(ex) {}
    WakeOne wake;
  };
  std::weak_ptr<Holder> seen;
  {
    asio::io_context loop;
    auto held = std::make_shared<Holder>(loop.get_executor());
    seen = held;
    asio::co_spawn(loop, [](std::shared_ptr<Holder> h) -> asio::awaitable<void> { co_await h->wake.wait(); }(held),
                   asio::detached);
    held.reset();
    loop.poll();
    EXPECT_FALSE(seen.expired()) << "the waiting frame holds it";
  }
  EXPECT_TRUE(seen.expired()) << "freed with the loop";
}

TEST_F(SyncTest, AWaitAbandonedInARaceKeepsTheNextWakeUp) {
  using namespace asio::experimental::awaitable_operators;
  WakeOne wake(io.get_executor());
  // The wait loses to a timer; the wake-up that follows finds nobody waiting.
  quern_test_support::run(io, [&]() -> asio::awaitable<void> {
    asio::steady_timer t(co_await asio::this_coro::executor, std::chrono::milliseconds(1));
    auto first = co_await (wake.wait() || t.async_wait(asio::as_tuple(asio::use_awaitable)));
    EXPECT_EQ(first.index(), 1u);
  }());
  wake.notify_one(quernd::sync::Wake::now);
  quern_test_support::run(io, wake.wait());  // the kept wake-up: returns at once

  // An aborted waiter is gone too.
  Task aborted = Task::spawn(io.get_executor(), wake.wait());
  settle();
  aborted.abort();
  settle();
  EXPECT_TRUE(aborted.finished());
  wake.notify_one(quernd::sync::Wake::now);
  quern_test_support::run(io, wake.wait());
}

TEST_F(SyncTest, WakeAllWakesTheCurrentWaitersAndKeepsNothing) {
  WakeAll wake(io.get_executor());
  wake.notify_all();  // nobody listens: lost
  auto before = wake.listen();
  Task first = Task::spawn(io.get_executor(), wake.wait(before));
  Task second = Task::spawn(io.get_executor(), wake.wait(wake.listen()));
  settle();
  EXPECT_FALSE(first.finished() || second.finished());

  // A wake-up given between listening and waiting is not missed.
  auto ticket = wake.listen();
  wake.notify_all();
  settle();
  EXPECT_TRUE(first.finished() && second.finished());
  quern_test_support::run(io, wake.wait(ticket));

  Task late = Task::spawn(io.get_executor(), wake.wait(wake.listen()));
  settle();
  EXPECT_FALSE(late.finished());
  late.abort();
  settle();
  EXPECT_TRUE(late.finished());
}

// ---- permits ------------------------------------------------------------------

TEST(Permits, AreTakenWithoutWaitingAndComeBackWhenDropped) {
  quernd::sync::Permits permits(64);
  std::vector<quernd::sync::Permits::Permit> held;
  for (int i = 0; i < 64; ++i) {
    auto p = permits.try_acquire();
    ASSERT_TRUE(p);
    held.push_back(std::move(*p));
  }
  EXPECT_FALSE(permits.try_acquire());
  held.pop_back();
  EXPECT_EQ(permits.available(), 1u);
  EXPECT_TRUE(permits.try_acquire());
  EXPECT_EQ(permits.available(), 1u) << "a permit that is dropped at once comes back at once";
}

}  // namespace
