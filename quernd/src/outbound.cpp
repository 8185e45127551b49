#include "outbound.hpp"

#include <utility>

namespace quernd::outbound {

using sync::Wake;

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
