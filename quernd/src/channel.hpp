// A bounded channel on the daemon's one thread: senders (copies of one
// another) hand items, in order, to one receiver through a queue of a fixed
// capacity. A session's input on a connection and a browser's messages on
// their way from the reading task to the reader both go through one.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "sync.hpp"

namespace quernd::channel {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// A queue of at most one item, for a channel of capacity 1.
template <class T>
class OneSlot {
 public:
  std::size_t size() const { return item_ ? 1 : 0; }
  bool empty() const { return !item_; }
  void reserve(std::size_t) {}
  void push_back(T item) { item_ = std::move(item); }
  T pop_front() { return *std::exchange(item_, std::nullopt); }
  void clear() { item_.reset(); }

 private:
  std::optional<T> item_;
};

// What a receive with a deadline gives when the deadline passes first.
struct TimedOut {};

template <class Queue>
class Sender;
template <class Queue>
class Receiver;

template <class Queue>
std::pair<Sender<Queue>, Receiver<Queue>> bounded(const asio::any_io_executor& ex, std::size_t capacity);

namespace detail {

// The shared part of a channel.
template <class Queue>
struct State {
  State(const asio::any_io_executor& ex, std::size_t capacity) : ex(ex), capacity(capacity), item(ex), space(ex) {
    items.reserve(capacity);
  }

  asio::any_io_executor ex;
  Queue items;
  const std::size_t capacity;
  std::size_t senders = 1;
  bool receiver = true;
  bool closed = false;
  // Senders waiting in `send` for room; while any waits, a freed place is
  // theirs and `try_send` is refused.
  std::size_t waiting = 0;
  sync::WakeOne item;   // an item was sent, the last sender went, or a deadline passed
  sync::WakeAll space;  // an item was taken, or the receiver went
  // Wakes a receiver that waits with a deadline; made for the first such wait.
  std::optional<asio::steady_timer> deadline;
};

}  // namespace detail

// A sending end; copies are further senders. Once every sender is gone the
// receiver sees the end after the last item.
template <class Queue>
class Sender {
 public:
  using Item = decltype(std::declval<Queue&>().pop_front());

  Sender() = default;
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) ++state_->senders;
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    release();
    state_ = std::move(other.state_);
    return *this;
  }
  ~Sender() { release(); }

  // Offers the item without waiting. False when the channel is full, when a
  // sender waits in `send` (a freed place is its), or when the receiver is
  // gone; the item is dropped then.
  // `when` is the wake-up of the waiting receiver.
  bool try_send(Item item, sync::Wake when = sync::Wake::later) {
    State* s = state_.get();
    if (!open() || s->waiting > 0 || s->items.size() >= s->capacity) return false;
    s->items.push_back(std::move(item));
    s->item.notify_one(when);
    return true;
  }

  // Sends the item, waiting while the channel is full. False when the
  // receiver is gone; the item is dropped then.
  asio::awaitable<bool> send(Item item) {
    // Holds the state for the whole wait, whatever happens to this sender.
    const std::shared_ptr<State> s = state_;
    if (!s) co_return false;
    bool queued_behind = s->waiting > 0;
    for (;;) {
      auto ticket = s->space.listen();
      if (!s->receiver || s->closed) co_return false;
      if (!queued_behind && s->items.size() < s->capacity) {
        s->items.push_back(std::move(item));
        s->item.notify_one();
        co_return true;
      }
      queued_behind = false;
      struct Waiting {
        State& s;
        explicit Waiting(State& s) : s(s) { ++s.waiting; }
        ~Waiting() { --s.waiting; }
      } waiting(*s);
      co_await s->space.wait(ticket);
    }
  }

  // Waits until the channel has room for an item. False, at once, once the
  // receiver is gone or the channel is closed.
  asio::awaitable<bool> room() {
    const std::shared_ptr<State> s = state_;
    if (!s) co_return false;
    for (;;) {
      auto ticket = s->space.listen();
      if (!s->receiver || s->closed) co_return false;
      if (s->items.size() < s->capacity) co_return true;
      co_await s->space.wait(ticket);
    }
  }

  // Ends the channel for every sender: what is still in it is dropped, the
  // receiver sees the end at once and every later send fails.
  void close() {
    if (!state_ || state_->closed) return;
    state_->closed = true;
    state_->items.clear();
    state_->item.notify_one();
    state_->space.notify_all();
  }

  // Whether the channel still takes items: not closed, receiver there.
  bool open() const { return state_ && state_->receiver && !state_->closed; }

 private:
  using State = detail::State<Queue>;
  friend std::pair<Sender, Receiver<Queue>> bounded<Queue>(const asio::any_io_executor& ex, std::size_t capacity);
  explicit Sender(std::shared_ptr<State> state) : state_(std::move(state)) {}

  void release() {
    if (!state_) return;
    // The receiver sees the end once the last sender has gone.
    if (--state_->senders == 0) state_->item.notify_one();
    state_.reset();
  }

  std::shared_ptr<State> state_;
};

// The receiving end. Dropping it discards what is still in the channel and
// makes every later send fail.
template <class Queue>
class Receiver {
 public:
  using Item = decltype(std::declval<Queue&>().pop_front());

  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver other) noexcept {
    release();
    state_ = std::move(other.state_);
    return *this;
  }
  ~Receiver() { release(); }

  // The next item in the order sent; none once every sender is gone and the
  // channel is empty.
  asio::awaitable<std::optional<Item>> receive() {
    State& s = *state_;
    for (;;) {
      if (auto taken = take()) co_return std::move(taken);
      if (s.senders == 0 || s.closed) co_return std::nullopt;
      co_await s.item.wait();
    }
  }

  // As `receive`, waiting no later than `deadline`: TimedOut once it has
  // passed with nothing to take and the channel not ended.
  asio::awaitable<std::expected<std::optional<Item>, TimedOut>> receive_until(Clock::time_point deadline) {
    State& s = *state_;
    for (;;) {
      if (auto taken = take()) co_return std::move(taken);
      if (s.senders == 0 || s.closed) co_return std::optional<Item>{};
      if (Clock::now() >= deadline) co_return std::unexpected(TimedOut{});
      if (!s.deadline) s.deadline.emplace(s.ex);
      s.deadline->expires_at(deadline);
      // The wake-up holds the state: it may come after the receiver has gone.
      s.deadline->async_wait([state = state_](boost::system::error_code ec) {
        if (!ec) state->item.notify_one();
      });
      struct Disarm {
        asio::steady_timer& timer;
        ~Disarm() { timer.cancel(); }
      } disarm{*s.deadline};
      co_await s.item.wait();
    }
  }

  // Takes further items onto `batch` without waiting, while it holds fewer
  // than `max_items` items and `max_bytes` bytes.
  void take_more(std::vector<Item>& batch, std::size_t max_items, std::size_t max_bytes)
    requires requires(Queue& q, std::vector<Item>& b, std::size_t n) { q.take_into(b, n, n); }
  {
    const std::size_t before = batch.size();
    state_->items.take_into(batch, max_items, max_bytes);
    if (batch.size() != before) state_->space.notify_all();
  }

 private:
  using State = detail::State<Queue>;
  friend std::pair<Sender<Queue>, Receiver> bounded<Queue>(const asio::any_io_executor& ex, std::size_t capacity);
  explicit Receiver(std::shared_ptr<State> state) : state_(std::move(state)) {}

  std::optional<Item> take() {
    if (state_->items.empty()) return std::nullopt;
    Item item = state_->items.pop_front();
    state_->space.notify_all();
    return item;
  }

  void release() {
    if (!state_) return;
    state_->receiver = false;
    state_->items.clear();
    state_->space.notify_all();
    state_.reset();
  }

  std::shared_ptr<State> state_;
};

// A channel that holds at most `capacity` items.
template <class Queue>
std::pair<Sender<Queue>, Receiver<Queue>> bounded(const asio::any_io_executor& ex, std::size_t capacity) {
  auto state = std::make_shared<detail::State<Queue>>(ex, capacity);
  return {Sender<Queue>(state), Receiver<Queue>(state)};
}

}  // namespace quernd::channel
