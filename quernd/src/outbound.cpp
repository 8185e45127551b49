#include "outbound.hpp"

#include "task.hpp"

#include <cassert>
#include <utility>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace quernd::outbound {

using task::throw_if_aborted;

namespace {

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

}  // namespace

struct WakeOne::Cancel {
  WakeOne* self;
  void operator()(asio::cancellation_type_t) {
    // The waiter's own abort checks see the cancellation once it resumes.
    if (auto w = self->take(true))
      asio::post(self->ex_, [resume = std::move(w->resume)]() mutable { resume(asio::error::operation_aborted); });
  }
};

struct WakeOne::Initiate {
  WakeOne* self;
  template <class Handler>
  void operator()(Handler&& handler) const {
    auto slot = asio::get_associated_cancellation_slot(handler);
    self->waiter_.emplace(Waiter{std::forward<Handler>(handler), slot,
                                 asio::prefer(self->ex_, asio::execution::outstanding_work.tracked)});
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

WakeAll::WakeAll(const asio::any_io_executor& ex)
    : timer_(ex, asio::steady_timer::time_point::max()) {}

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

void FrameRing::reserve(std::size_t n) {
  if (n <= slots_.size()) return;
  std::size_t cap = slots_.empty() ? 16 : slots_.size();
  while (cap < n) cap *= 2;
  std::vector<EncodedFrame> grown(cap);
  for (std::size_t i = 0; i < size_; ++i)
    grown[i] = std::move(slots_[(head_ + i) & (slots_.size() - 1)]);
  slots_ = std::move(grown);
  head_ = 0;
}

std::size_t FrameRing::take_into(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes) {
  std::size_t held = 0;
  for (const auto& f : batch) held += f.size();
  std::size_t moved = 0;
  while (!empty() && batch.size() < max_frames && held + moved < max_bytes) {
    batch.push_back(pop_front());
    moved += batch.back().size();
  }
  return moved;
}

void FrameRing::push_back(EncodedFrame frame) {
  if (size_ == slots_.size()) reserve(size_ + 1);
  slots_[(head_ + size_) & (slots_.size() - 1)] = std::move(frame);
  ++size_;
}

EncodedFrame FrameRing::pop_front() {
  assert(size_ > 0);
  EncodedFrame frame = std::exchange(slots_[head_], EncodedFrame{});
  head_ = (head_ + 1) & (slots_.size() - 1);
  --size_;
  return frame;
}

void FrameRing::clear() {
  while (size_ > 0) pop_front();
  head_ = 0;
}

std::shared_ptr<Outbound> Outbound::create(const asio::any_io_executor& ex, bool lossy) {
  return std::make_shared<Outbound>(ex, lossy);
}

Outbound::Outbound(const asio::any_io_executor& ex, bool lossy)
    : item_ready_(ex), queue_empty_(ex), space_freed_(ex), lossy_(lossy) {}

void Outbound::enqueue(EncodedFrame frame) {
  queue_.bytes += frame.size();
  queue_.frames.push_back(std::move(frame));
}

void Outbound::discard() {
  queue_.frames.clear();
  queue_.bytes = 0;
}

std::expected<void, Refused> Outbound::try_push(EncodedFrame frame, Wake when) {
  if (queue_.bytes > ADMISSION_THRESHOLD) return std::unexpected(Refused{std::move(frame)});
  enqueue(std::move(frame));
  item_ready_.notify_one(when);
  return {};
}

asio::awaitable<bool> Outbound::push(EncodedFrame frame) {
  for (;;) {
    auto ticket = space_freed_.listen();
    if (queue_.closed || queue_.overflowed) co_return false;
    if (queue_.bytes == 0 || queue_.bytes + frame.size() <= HARD_LIMIT) {
      enqueue(std::move(frame));
      item_ready_.notify_one();
      co_return true;
    }
    if (lossy_) {
      // The client cannot keep up: its whole backlog goes, this frame too.
      queue_.overflowed = true;
      discard();
      item_ready_.notify_one();
      co_return false;
    }
    co_await space_freed_.wait(ticket);
  }
}

bool Outbound::poppable() const {
  return queue_.overflowed || !queue_.frames.empty() || queue_.closed;
}

std::optional<Popped> Outbound::try_pop() {
  // The overflow comes first, even before frames queued after it.
  if (queue_.overflowed) return Popped{Overflowed{}};
  if (!queue_.frames.empty()) {
    EncodedFrame frame = queue_.frames.pop_front();
    queue_.bytes -= frame.size();
    if (queue_.bytes == 0) queue_empty_.notify_all();
    space_freed_.notify_all();
    return Popped{std::move(frame)};
  }
  if (queue_.closed) return Popped{Closed{}};
  return std::nullopt;
}

void Outbound::take_more(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes) {
  if (queue_.overflowed) return;
  const std::size_t before = batch.size();
  queue_.bytes -= queue_.frames.take_into(batch, max_frames, max_bytes);
  // The wake-ups of every frame taken, given once.
  if (batch.size() == before) return;
  if (queue_.bytes == 0) queue_empty_.notify_all();
  space_freed_.notify_all();
}

asio::awaitable<Popped> Outbound::pop() {
  for (;;) {
    if (auto popped = try_pop()) co_return std::move(*popped);
    co_await item_ready_.wait();
  }
}

asio::awaitable<void> Outbound::ready() {
  while (!poppable()) co_await item_ready_.wait();
}

void Outbound::close() {
  queue_.closed = true;
  discard();
  item_ready_.notify_one();
  queue_empty_.notify_all();
  space_freed_.notify_all();
}

asio::awaitable<void> Outbound::drained() {
  for (;;) {
    auto ticket = queue_empty_.listen();
    if (queue_.bytes == 0 || queue_.closed || queue_.overflowed) co_return;
    co_await queue_empty_.wait(ticket);
  }
}

}  // namespace quernd::outbound
