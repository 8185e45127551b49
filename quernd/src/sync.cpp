#include "sync.hpp"

#include <cassert>
#include <unordered_set>
#include <utility>

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/this_coro.hpp>

#include "await.hpp"
#include "task.hpp"

namespace quernd::sync {

using task::throw_if_aborted;

struct WakeOne::Cancel {
  WakeOne* self;
  void operator()(asio::cancellation_type_t) {
    // The waiter's own abort checks see the cancellation once it resumes.
    if (auto w = self->take(true))
      asio::post(self->ex_, [resume = std::move(w->resume)]() mutable { resume(asio::error::operation_aborted); });
  }
};

// The waits pending on one event loop. When the loop shuts down their
// waiters are destroyed without being resumed, as Asio does with its own
// pending operations: a waiter's frame may own the very wake-up it waits on.
class WakeOne::Waits : public asio::execution_context::service {
 public:
  static inline asio::execution_context::id id;
  explicit Waits(asio::execution_context& context) : service(context) {}
  void add(WakeOne* w) { pending_.insert(w); }
  void remove(WakeOne* w) { pending_.erase(w); }

 private:
  void shutdown() override {
    while (!pending_.empty()) {
      // The waiter is destroyed with the temporary; that may destroy this
      // wake-up and others.
      (void)(*pending_.begin())->take(false);
    }
  }

  std::unordered_set<WakeOne*> pending_;
};

struct WakeOne::Initiate {
  WakeOne* self;
  template <class Handler>
  void operator()(Handler&& handler) const {
    auto slot = asio::get_associated_cancellation_slot(handler);
    self->waiter_.emplace(Waiter{std::forward<Handler>(handler), slot,
                                 asio::prefer(self->ex_, asio::execution::outstanding_work.tracked)});
    if (!self->waits_) self->waits_ = &asio::use_service<Waits>(asio::query(self->ex_, asio::execution::context));
    self->waits_->add(self);
    if (slot.is_connected()) slot.template emplace<Cancel>(Cancel{self});
  }
};

WakeOne::WakeOne(const asio::any_io_executor& ex) : ex_(ex) {}

WakeOne::~WakeOne() {
  if (auto w = take(false))
    asio::post(ex_, [resume = std::move(w->resume)]() mutable { resume(asio::error::operation_aborted); });
}

std::optional<WakeOne::Waiter> WakeOne::take(bool from_cancellation) {
  if (!waiter_) return std::nullopt;
  std::optional<Waiter> w = std::move(waiter_);
  waiter_.reset();
  waits_->remove(this);
  // A cancellation handler is not cleared from inside its own call; the
  // waiter clears its slot when it resumes.
  if (!from_cancellation && w->slot.is_connected()) w->slot.clear();
  return w;
}

void WakeOne::notify_one(Wake when) {
  auto w = take(false);
  if (!w) {
    kept_ = true;
    return;
  }
  if (when == Wake::now) {
    std::move(w->resume)(boost::system::error_code{});
  } else {
    asio::post(ex_, [resume = std::move(w->resume)]() mutable { resume(boost::system::error_code{}); });
  }
}

asio::awaitable<void> WakeOne::wait() {
  throw_if_aborted(co_await asio::this_coro::cancellation_state);
  if (kept_) {
    kept_ = false;
    co_return;
  }
  assert(!waiter_ && "one waiter at a time");
  co_await asio::async_initiate<decltype(use_tuple), void(boost::system::error_code)>(Initiate{this}, use_tuple);
  throw_if_aborted(co_await asio::this_coro::cancellation_state);
}

// WakeAll's timer never expires: a wait ends only when the timer is cancelled to
// wake it, or when the waiting task is aborted.

WakeAll::WakeAll(const asio::any_io_executor& ex) : timer_(never_timer(ex)) {}

void WakeAll::notify_all() {
  ++generation_;
  if (waiting_ > 0) timer_.cancel();
}

asio::awaitable<void> WakeAll::wait(Ticket ticket) {
  for (;;) {
    throw_if_aborted(co_await asio::this_coro::cancellation_state);
    if (generation_ != ticket) co_return;
    ++waiting_;
    co_await timer_.async_wait(use_tuple);
    --waiting_;
  }
}

asio::awaitable<bool> within(asio::awaitable<void> body, std::chrono::steady_clock::duration limit) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer timer(co_await asio::this_coro::executor, limit);
  auto first = co_await (std::move(body) || timer.async_wait(use_tuple));
  co_return first.index() == 0;
}

std::optional<Permits::Permit> Permits::try_acquire() const {
  if (*free_ == 0) return std::nullopt;
  --*free_;
  return Permit(free_);
}

}  // namespace quernd::sync
