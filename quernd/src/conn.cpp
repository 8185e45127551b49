#include "conn.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "quern_protocol/frame.hpp"

namespace quernd::conn {

namespace msg = quern_protocol::message;
using outbound::FrameRing;
using outbound::WakeAll;
using outbound::WakeOne;
using quern_protocol::Bytes;
using task::throw_if_aborted;

EncodedFrame error(std::optional<PtyId> id, std::string text) {
  return quern_session::wire::control(msg::Error{std::move(id), std::move(text)});
}

Bytes own_storage(Bytes payload) {
  // A small view of a large receive buffer would keep all of it alive while
  // it waits in a queue or channel that counts only the view.
  if (payload.storage() > COPY_OUT_FLOOR && payload.storage() / 4 > payload.size())
    return Bytes::copy_from(payload.span());
  return payload;
}

EncodedFrame reencode(const Frame& frame) {
  auto encoded = quern_protocol::frame::encode_frame_parts(frame.json.span(), own_storage(frame.payload));
  // The frame passed the same cap when it was decoded.
  if (!encoded)
    throw std::logic_error("a decoded frame re-encodes within the cap: " + encoded.error().what());
  return std::move(*encoded);
}

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

bool InputSender::try_send(EncodedFrame frame, outbound::Wake when) {
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

Attached::Attached(InputSender input, Task from_shim, Task to_shim)
    : input(std::move(input)), from_shim(std::move(from_shim)), to_shim(std::move(to_shim)) {}

Attached& Attached::operator=(Attached&& other) noexcept {
  if (this != &other) {
    abort();
    input = std::move(other.input);
    from_shim = std::move(other.from_shim);
    to_shim = std::move(other.to_shim);
    congested = other.congested;
  }
  return *this;
}

// The members go after the pumps are aborted: the input channel last.
Attached::~Attached() { abort(); }

void Attached::abort() {
  from_shim.abort();
  to_shim.abort();
}

bool Attached::ended() const { return from_shim.finished() && !input.open(); }

Attached* attachment(Attachments& table, const PtyId& id) {
  auto found = table.find(id);
  if (found == table.end()) return nullptr;
  if (found->second.ended()) {
    table.erase(found);
    return nullptr;
  }
  return &found->second;
}

Attached attach(wire::Connection shim, std::shared_ptr<Outbound> out) {
  auto ex = shim.writer.get_executor();
  auto [sender, receiver] = input_channel(ex);
  Task to_shim = Task::spawn(ex, pump_to_shim(std::move(receiver), std::move(shim.writer)));
  Task from_shim = Task::spawn(ex, pump_from_shim(std::move(shim.reader), std::move(out), sender));
  return Attached(std::move(sender), std::move(from_shim), std::move(to_shim));
}

std::optional<EncodedFrame> forward(Attachments& table, Outbound& out, const PtyId& id,
                                    Frame frame, outbound::Wake when) {
  Attached* found = attachment(table, id);
  if (found == nullptr) return error(id, "not attached");
  Attached& attached = *found;
  if (attached.input.try_send(reencode(frame), when)) {
    attached.congested = false;
    return std::nullopt;
  }
  // Dropped. Reported once per congestion, and only if the queue takes the
  // report at once.
  if (!attached.congested) (void)out.try_push(error(id, "input queue full"));
  attached.congested = true;
  return std::nullopt;
}

asio::awaitable<void> pump_to_shim(InputReceiver input, quern_session::wire::WriteHalf shim) {
  std::vector<EncodedFrame> batch;
  for (;;) {
    std::optional<EncodedFrame> frame = co_await input.receive();
    throw_if_aborted(co_await asio::this_coro::cancellation_state);
    if (!frame) co_return;
    // Whatever else waits in the channel goes in the same write.
    batch.push_back(std::move(*frame));
    input.take_more(batch, transport::WRITE_BATCH_FRAMES, transport::WRITE_BATCH_BYTES);
    auto written = co_await transport::write_frames(shim, batch);
    batch.clear();
    throw_if_aborted(co_await asio::this_coro::cancellation_state);
    if (!written) co_return;
  }
}

namespace {

#if defined(MSG_NOSIGNAL)
constexpr int SEND_FLAGS = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = MSG_DONTWAIT;
#endif

// The session a relayed frame speaks for, for the pause pair: the id of an
// output or exited frame, the empty id for listed and error. None for kinds
// that are not relayed.
std::optional<PtyId> relayed_id(msg::Message&& message) {
  if (auto* m = message.get<msg::Output>()) return std::move(m->id);
  if (auto* m = message.get<msg::Exited>()) return std::move(m->id);
  if (message.is<msg::Listed>() || message.is<msg::Error>()) return PtyId{};
  return std::nullopt;
}

// Whether the peer of a stream can still be sent to. A send of no bytes
// fails once the peer has closed its end or stopped reading, or this side's
// sending has ended, and never waits.
bool takes_input(int fd) {
  for (;;) {
    if (::send(fd, "", 0, SEND_FLAGS) == 0) return true;
    if (errno != EINTR) return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

bool relayed(const msg::Message& message) {
  return message.is<msg::Output>() || message.is<msg::Exited>() || message.is<msg::Listed>() ||
         message.is<msg::Error>();
}

}  // namespace

asio::awaitable<void> pump_from_shim(quern_session::wire::Reader shim, std::shared_ptr<Outbound> out,
                                     InputSender input) {
  struct PausePair {
    EncodedFrame pause;
    EncodedFrame resume;
  };
  std::optional<PausePair> pause_pair;

  for (;;) {
    auto next = co_await shim.next_frame();
    throw_if_aborted(co_await asio::this_coro::cancellation_state);
    // End of stream, a read error or a malformed header.
    if (!next || !*next) break;
    Frame frame = std::move(**next);

    std::optional<msg::Message> message = quern_session::wire::message_of(frame);
    if (!message) break;
    if (!relayed(*message)) continue;

    // With nothing more at hand the writer runs at once; while more comes,
    // frames gather for one write.
    auto pushed = out->try_push(reencode(frame), shim.has_more() ? outbound::Wake::later : outbound::Wake::now);
    if (pushed) continue;

    // More than 1 MiB waits for the client: hold the shim until it is gone.
    if (!pause_pair) {
      const PtyId id = *relayed_id(std::move(*message));
      pause_pair.emplace(quern_session::wire::control(msg::Pause{id}),
                         quern_session::wire::control(msg::Resume{id}));
    }
    // A gone receiver drops the copy; the pump goes on regardless.
    (void)co_await input.send(pause_pair->pause);
    throw_if_aborted(co_await asio::this_coro::cancellation_state);

    const bool queued = co_await out->push(std::move(pushed.error().frame));
    throw_if_aborted(co_await asio::this_coro::cancellation_state);
    if (!queued) break;

    co_await out->drained();
    throw_if_aborted(co_await asio::this_coro::cancellation_state);

    (void)co_await input.send(pause_pair->resume);
    throw_if_aborted(co_await asio::this_coro::cancellation_state);
  }
  // A shim that has closed its end (not only its sending direction) takes
  // no more input either: the session is over on this connection.
  if (!takes_input(shim.inner.native_handle())) input.close();
}

asio::awaitable<bool> within(asio::awaitable<void> body, std::chrono::steady_clock::duration limit) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer timer(co_await asio::this_coro::executor, limit);
  auto first = co_await (std::move(body) || timer.async_wait(asio::as_tuple(asio::use_awaitable)));
  co_return first.index() == 0;
}

}  // namespace quernd::conn
