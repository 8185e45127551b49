// A client connection's outbound queue: encoded frames with a running byte
// count, fed by many producers and drained by one writer task. It carries the
// connection's flow control: an admission test at ADMISSION_THRESHOLD, a
// hard limit at HARD_LIMIT that makes producers wait (or, in lossy mode, throws the backlog
// away), a wait until the queue has drained, and an orderly close.
//
// Everything runs on the daemon's one thread, so no lock guards the queue:
// each operation looks and changes in one step between two waits.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "frame_ring.hpp"
#include "quern_protocol/frame.hpp"
#include "sync.hpp"

namespace quernd::outbound {

namespace asio = boost::asio;
using quern_protocol::frame::EncodedFrame;

// `try_push` refuses once more than this is queued.
inline constexpr std::size_t ADMISSION_THRESHOLD = 1'048'576;
// `push` accepts while the queued bytes and the new frame fit in this, or
// when the queue is empty.
inline constexpr std::size_t HARD_LIMIT = 8'388'608;

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

  // The sum of the sizes of the queued frames.
  std::size_t bytes() const { return queue_.bytes; }

  // Queues the frame unless more than ADMISSION_THRESHOLD is queued; looks neither at the
  // flags nor at the frame's own size. Never waits.
  // `when` is the wake-up of a waiting writer.
  std::expected<void, Refused> try_push(EncodedFrame frame, sync::Wake when = sync::Wake::later);
  // Queues the frame when it fits within HARD_LIMIT or the queue is empty. True
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
    frame_ring::FrameRing frames;
    std::size_t bytes = 0;
    bool closed = false;
    bool overflowed = false;
  };

  void enqueue(EncodedFrame frame);
  void discard();
  bool poppable() const;

  Queue queue_;
  sync::WakeOne item_ready_;
  sync::WakeAll queue_empty_;
  sync::WakeAll space_freed_;
  bool lossy_;
};

}  // namespace quernd::outbound
