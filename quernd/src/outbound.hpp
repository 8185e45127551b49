// A client connection's outbound queue: encoded frames with a running byte
// count, fed by many producers and drained by one writer task. It carries the
// connection's flow control: an admission test at 1 MiB, a hard limit at
// 8 MiB that makes producers wait (or, in lossy mode, throws the backlog
// away), a wait until the queue has drained, and an orderly close.
//
// Everything runs on the daemon's one thread, so no lock guards the queue:
// each operation looks and changes in one step between two waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "quern_protocol/frame.hpp"

namespace quernd::outbound {

namespace asio = boost::asio;
using quern_protocol::frame::EncodedFrame;

// `try_push` refuses once more than this is queued.
inline constexpr std::size_t ADMISSION_THRESHOLD = 1'048'576;
// `push` accepts while the queued bytes and the new frame fit in this, or
// when the queue is empty.
inline constexpr std::size_t HARD_LIMIT = 8'388'608;

// When a woken waiter runs. `later`: from the event loop's queue, after the
// current task's next wait. `now`: at once, before `notify_one` returns; for
// a notifier that has nothing more to hand over before its own next wait,
// so that the waiter's work needs no second turn of the event loop.
enum class Wake { later, now };

// A wake-up for one waiter. Given while nobody waits, it is kept for the
// next waiter, which then returns at once.
class WakeOne {
 public:
  explicit WakeOne(const asio::any_io_executor& ex);
  WakeOne(const WakeOne&) = delete;
  WakeOne& operator=(const WakeOne&) = delete;
  ~WakeOne();

  void notify_one(Wake when = Wake::later);
  // Returns on a wake-up, possibly a spurious one: callers look again.
  asio::awaitable<void> wait();

 private:
  struct Waiter {
    std::move_only_function<void(boost::system::error_code)> resume;
    asio::cancellation_slot slot;
    asio::any_io_executor work;  // keeps the event loop running meanwhile
  };
  struct Initiate;
  struct Cancel;

  // Takes the waiter, if one waits, and detaches it from its cancellation.
  std::optional<Waiter> take(bool from_cancellation);

  asio::any_io_executor ex_;
  std::optional<Waiter> waiter_;
  bool kept_ = false;
};

// A wake-up for every current waiter; nothing is kept for later ones. A
// waiter takes a ticket with `listen` before it looks at the state it waits
// for, so a wake-up given between its look and its wait is not missed.
class WakeAll {
 public:
  using Ticket = std::uint64_t;

  explicit WakeAll(const asio::any_io_executor& ex);

  Ticket listen() const { return generation_; }
  void notify_all();
  // Returns once a wake-up has been given since `ticket` was taken.
  asio::awaitable<void> wait(Ticket ticket);

 private:
  asio::steady_timer timer_;
  std::uint64_t generation_ = 0;
  std::size_t waiting_ = 0;
};

// A first-in first-out run of frames over a ring that grows and never
// shrinks, so that a steady stream of frames allocates nothing.
class FrameRing {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void reserve(std::size_t n);
  void push_back(EncodedFrame frame);
  EncodedFrame pop_front();
  // Moves frames from the front onto `batch` while it holds fewer than
  // `max_frames` frames and `max_bytes` bytes; returns the bytes moved.
  std::size_t take_into(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes);
  void clear();

 private:
  std::vector<EncodedFrame> slots_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

struct Overflowed {};
struct Closed {};
// What the writer takes from the queue.
using Popped = std::variant<EncodedFrame, Overflowed, Closed>;

// The frame that `try_push` did not take, handed back.
struct Refused {
  EncodedFrame frame;
};

class Outbound {
 public:
  // An empty, open queue; lossy for data-plane clients, waiting otherwise.
  static std::shared_ptr<Outbound> create(const asio::any_io_executor& ex, bool lossy);
  Outbound(const asio::any_io_executor& ex, bool lossy);
  Outbound(const Outbound&) = delete;
  Outbound& operator=(const Outbound&) = delete;

  bool lossy() const { return lossy_; }
  // The sum of the sizes of the queued frames.
  std::size_t bytes() const { return queue_.bytes; }

  // Queues the frame unless more than 1 MiB is queued; looks neither at the
  // flags nor at the frame's own size. Never waits.
  // `when` is the wake-up of a waiting writer.
  std::expected<void, Refused> try_push(EncodedFrame frame, Wake when = Wake::later);
  // Queues the frame when it fits within 8 MiB or the queue is empty. True
  // when queued; false when the queue is closed or overflowed, or when this
  // push overflowed a lossy queue. A waiting queue waits for room.
  asio::awaitable<bool> push(EncodedFrame frame);
  // The front frame, or the overflow (reported before any frame), or the end
  // of a closed queue once its frames are taken. Waits while there is none.
  asio::awaitable<Popped> pop();
  // `pop` without the wait: none when `pop` would wait.
  std::optional<Popped> try_pop();
  // Takes further queued frames onto `batch`, each counted out as `pop`
  // would, while the batch holds fewer than `max_frames` frames and
  // `max_bytes` bytes; none once the queue has overflowed.
  void take_more(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes);
  // Waits until `pop` would return at once. Takes nothing, so abandoning it
  // in a race loses nothing.
  asio::awaitable<void> ready();
  // Discards the queued frames and marks the queue closed, for good.
  void close();
  bool overflowed() const { return queue_.overflowed; }
  // Waits until no byte is queued, or the queue is closed or overflowed.
  asio::awaitable<void> drained();

 private:
  struct Queue {
    FrameRing frames;
    std::size_t bytes = 0;
    bool closed = false;
    bool overflowed = false;
  };

  void enqueue(EncodedFrame frame);
  void discard();
  bool poppable() const;

  Queue queue_;
  WakeOne item_ready_;
  WakeAll queue_empty_;
  WakeAll space_freed_;
  bool lossy_;
};

}  // namespace quernd::outbound
