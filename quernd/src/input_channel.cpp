#include "input_channel.hpp"

#include "frame_ring.hpp"

namespace quernd::conn {

using frame_ring::FrameRing;
using sync::WakeAll;
using sync::WakeOne;

// The shared part of an input channel.
struct InputState {
  explicit InputState(const asio::any_io_executor& ex) : item(ex), space(ex) {
    frames.reserve(INPUT_CAPACITY);
  }

  FrameRing frames;
  std::size_t senders = 1;
  bool receiver = true;
  bool closed = false;
  // Senders waiting in `send` for room; while any waits, a freed place is
  // theirs and `try_send` is refused.
  std::size_t waiting = 0;
  WakeOne item;   // a frame was sent, or the last sender went
  WakeAll space;  // a frame was taken, or the receiver went
};

std::pair<InputSender, InputReceiver> input_channel(const asio::any_io_executor& ex) {
  auto state = std::make_shared<InputState>(ex);
  return {InputSender(state), InputReceiver(state)};
}

InputSender::InputSender(std::shared_ptr<InputState> state) : state_(std::move(state)) {}

InputSender::InputSender(const InputSender& other) : state_(other.state_) {
  if (state_) ++state_->senders;
}

InputSender& InputSender::operator=(InputSender other) noexcept {
  release();
  state_ = std::move(other.state_);
  return *this;
}

InputSender::~InputSender() { release(); }

void InputSender::release() {
  if (!state_) return;
  // The receiver sees the end once the last sender has gone.
  if (--state_->senders == 0) state_->item.notify_one();
  state_.reset();
}

bool InputSender::try_send(EncodedFrame frame, sync::Wake when) {
  InputState* s = state_.get();
  if (!open() || s->waiting > 0 || s->frames.size() >= INPUT_CAPACITY) return false;
  s->frames.push_back(std::move(frame));
  s->item.notify_one(when);
  return true;
}

asio::awaitable<bool> InputSender::send(EncodedFrame frame) {
  // Holds the state for the whole wait, whatever happens to this sender.
  const std::shared_ptr<InputState> s = state_;
  if (!s) co_return false;
  bool queued_behind = s->waiting > 0;
  for (;;) {
    auto ticket = s->space.listen();
    if (!s->receiver || s->closed) co_return false;
    if (!queued_behind && s->frames.size() < INPUT_CAPACITY) {
      s->frames.push_back(std::move(frame));
      s->item.notify_one();
      co_return true;
    }
    queued_behind = false;
    struct Waiting {
      InputState& s;
      explicit Waiting(InputState& s) : s(s) { ++s.waiting; }
      ~Waiting() { --s.waiting; }
    } waiting(*s);
    co_await s->space.wait(ticket);
  }
}

void InputSender::close() {
  if (!state_ || state_->closed) return;
  state_->closed = true;
  state_->frames.clear();
  state_->item.notify_one();
  state_->space.notify_all();
}

bool InputSender::open() const { return state_ && state_->receiver && !state_->closed; }

InputReceiver& InputReceiver::operator=(InputReceiver other) noexcept {
  release();
  state_ = std::move(other.state_);
  return *this;
}

InputReceiver::~InputReceiver() { release(); }

void InputReceiver::release() {
  if (!state_) return;
  state_->receiver = false;
  state_->frames.clear();
  state_->space.notify_all();
  state_.reset();
}

asio::awaitable<std::optional<EncodedFrame>> InputReceiver::receive() {
  InputState& s = *state_;
  for (;;) {
    if (!s.frames.empty()) {
      EncodedFrame frame = s.frames.pop_front();
      s.space.notify_all();
      co_return frame;
    }
    if (s.senders == 0 || s.closed) co_return std::nullopt;
    co_await s.item.wait();
  }
}

void InputReceiver::take_more(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes) {
  const std::size_t before = batch.size();
  state_->frames.take_into(batch, max_frames, max_bytes);
  if (batch.size() != before) state_->space.notify_all();
}

}  // namespace quernd::conn
