// Client connections: the writer task shared by every kind of transport, the
// drain of a closing connection, and the attachments that join a session's
// shim to a connection with their two pumps and the forwarding of client
// input.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>

#include "daemon.hpp"
#include "outbound.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/wire.hpp"
#include "registry.hpp"
#include "task.hpp"
#include "transport.hpp"
#include "wire.hpp"

namespace quernd::conn {

namespace asio = boost::asio;
using outbound::Outbound;
using outbound::Popped;
using quern_protocol::frame::EncodedFrame;
using quern_protocol::frame::Frame;
using quern_protocol::message::PtyId;
using task::Task;

// The capacity of a session's input channel, in frames.
inline constexpr std::size_t INPUT_CAPACITY = 32;

// The frame of an `error` message with the given id and text.
EncodedFrame error(std::optional<PtyId> id, std::string text);

// A payload that keeps more alive than this, and over four times its own
// size, is copied out before it is queued.
inline constexpr std::size_t COPY_OUT_FLOOR = 64 * 1024;

// The payload itself, or a copy of it in storage of its own when it is a
// small view of a large buffer.
quern_protocol::Bytes own_storage(quern_protocol::Bytes payload);

// The same JSON text and payload as received, as a frame to send on. Copies
// the JSON text into a new head; the payload is shared, unless it is a small
// view of a large buffer (see own_storage).
EncodedFrame reencode(const Frame& frame);

struct InputState;
class InputReceiver;

// A sending end of a session's input channel; copies are further senders.
// Once every sender is gone the receiver sees the end after the last frame.
class InputSender {
 public:
  InputSender() = default;
  InputSender(const InputSender& other);
  InputSender(InputSender&& other) noexcept = default;
  InputSender& operator=(InputSender other) noexcept;
  ~InputSender();

  // Offers the frame without waiting. False when the channel is full, when a
  // sender waits in `send` (a freed place is its), or when the receiver is
  // gone; the frame is dropped then.
  // `when` is the wake-up of the waiting receiver.
  bool try_send(EncodedFrame frame, outbound::Wake when = outbound::Wake::later);
  // Sends the frame, waiting while the channel is full. False when the
  // receiver is gone; the frame is dropped then.
  asio::awaitable<bool> send(EncodedFrame frame);
  // Ends the channel for every sender: what is still in it is dropped, the
  // receiver sees the end at once and every later send fails.
  void close();
  // Whether the channel still takes frames: not closed, receiver there.
  bool open() const;

 private:
  friend std::pair<InputSender, InputReceiver> input_channel(const asio::any_io_executor& ex);
  explicit InputSender(std::shared_ptr<InputState> state);
  void release();
  std::shared_ptr<InputState> state_;
};

// The receiving end of a session's input channel. Dropping it discards what
// is still in the channel and makes every later send fail.
class InputReceiver {
 public:
  InputReceiver(InputReceiver&& other) noexcept = default;
  InputReceiver& operator=(InputReceiver other) noexcept;
  ~InputReceiver();

  // The next frame in the order sent; none once every sender is gone and
  // the channel is empty.
  asio::awaitable<std::optional<EncodedFrame>> receive();
  // Takes further frames onto `batch` without waiting, while it holds fewer
  // than `max_frames` frames and `max_bytes` bytes.
  void take_more(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes);

 private:
  friend std::pair<InputSender, InputReceiver> input_channel(const asio::any_io_executor& ex);
  explicit InputReceiver(std::shared_ptr<InputState> state) : state_(std::move(state)) {}
  void release();
  std::shared_ptr<InputState> state_;
};

// A bounded channel of INPUT_CAPACITY frames.
std::pair<InputSender, InputReceiver> input_channel(const asio::any_io_executor& ex);

// One session attached on one connection. Dropping it aborts the from-shim
// pump, then the to-shim pump, then releases the input channel; nothing is
// sent to the shim or to the client.
struct Attached {
  InputSender input;
  Task from_shim;
  Task to_shim;
  // Set from the channel's first refusal of a client frame until it next
  // accepts one: the client hears "input queue full" once per congestion.
  bool congested = false;

  Attached(InputSender input, Task from_shim, Task to_shim);
  Attached(Attached&& other) noexcept = default;
  Attached& operator=(Attached&& other) noexcept;
  ~Attached();

  // Whether the session is gone from here: nothing comes from the shim any
  // more and nothing can reach it.
  bool ended() const;

 private:
  void abort();
};

// The attachments of one connection, by session.
using Attachments = std::map<PtyId, Attached>;

// The attachment of `id` while it lasts; one that has ended is removed from
// the table, so that the session counts as not attached here.
Attached* attachment(Attachments& table, const PtyId& id);

// Starts the two pumps over a greeted shim connection. Never fails, never
// waits.
Attached attach(wire::Connection shim, std::shared_ptr<Outbound> out);

// Hands a client frame for session `id` to its input channel, never waiting.
// Returns the reply for the connection to queue: "not attached" when the
// session is not attached here, otherwise none. A full channel drops the
// frame and reports "input queue full" straight to the queue, once per
// congestion and only if the queue takes it at once.
std::optional<EncodedFrame> forward(Attachments& table, Outbound& out, const PtyId& id,
                                    Frame frame, outbound::Wake when = outbound::Wake::later);

// Writes the client's frames to the shim in order until the channel ends or
// a write fails; then the shim sees the end of its input.
asio::awaitable<void> pump_to_shim(InputReceiver input, quern_session::wire::WriteHalf shim);

// Relays the shim's output, exited, listed and error frames to the client's
// queue until the shim's stream ends or fails or sends something that is no
// message. While more than 1 MiB waits for the client, it pauses the shim,
// queues the refused frame within 8 MiB, waits until the queue is empty and
// resumes the shim. When it ends on a shim that cannot be written to either
// (gone, or no longer reading), it closes the input channel.
asio::awaitable<void> pump_from_shim(quern_session::wire::Reader shim, std::shared_ptr<Outbound> out,
                                     InputSender input);

namespace detail {

using Event = std::variant<Popped, bool>;

// Whether the reader has another frame without reading; a reader that cannot
// tell counts as having one.
template <class R>
bool has_more(const R& reader) {
  if constexpr (requires { reader.buffered(); }) {
    return reader.buffered();
  } else {
    return true;
  }
}

// One wait of the writer: whatever comes first of the queue having something
// for `pop` and the writer's keepalive, looking first at the one chosen.
// Only `ready` races the keepalive, so the queue loses nothing to the race.
template <transport::FrameWriter W>
asio::awaitable<Event> pop_or_keepalive(W& writer, Outbound& out, bool pop_first) {
  using namespace asio::experimental::awaitable_operators;
  for (;;) {
    if (pop_first) {
      if (auto popped = out.try_pop()) co_return Event(std::in_place_index<0>, std::move(*popped));
      auto first = co_await (out.ready() || writer.keepalive());
      task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
      if (first.index() == 1) co_return Event(std::in_place_index<1>, std::get<1>(first));
    } else {
      auto first = co_await (writer.keepalive() || out.ready());
      task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
      if (first.index() == 0) co_return Event(std::in_place_index<1>, std::get<0>(first));
    }
    if (auto popped = out.try_pop()) co_return Event(std::in_place_index<0>, std::move(*popped));
  }
}

}  // namespace detail

// The writer task of a connection: drains its queue into the writer and sends
// the writer's keepalives, until the queue ends or a write fails.
template <transport::FrameWriter W>
asio::awaitable<void> write_loop(W writer, std::shared_ptr<Outbound> out) {
  // A writer that can gather frames takes every frame that is ready.
  constexpr bool batches = requires(W& w, std::span<const EncodedFrame> frames) { w.write_batch(frames); };
  std::vector<EncodedFrame> batch;
  // Which of the two waits is looked at first is drawn afresh in every pass,
  // so that neither can starve the other.
  std::minstd_rand rng;
  if constexpr (W::sends_keepalives) rng.seed(std::random_device{}());
  std::bernoulli_distribution pop_first(0.5);
  for (;;) {
    detail::Event event;
    if constexpr (W::sends_keepalives) {
      event = co_await detail::pop_or_keepalive(writer, *out, pop_first(rng));
    } else {
      // A keepalive that never completes cannot win a race: just pop.
      event.template emplace<0>(co_await out->pop());
    }

    if (const bool* sent = std::get_if<1>(&event)) {
      if (!*sent) break;
      continue;
    }
    Popped& popped = std::get<0>(event);
    if (auto* frame = std::get_if<EncodedFrame>(&popped)) {
      bool written;
      if constexpr (batches) {
        batch.push_back(std::move(*frame));
        out->take_more(batch, transport::WRITE_BATCH_FRAMES, transport::WRITE_BATCH_BYTES);
        written = co_await writer.write_batch(batch);
        batch.clear();
      } else {
        written = co_await writer.write(std::move(*frame));
      }
      task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
      if (!written) break;
    } else if (std::holds_alternative<outbound::Overflowed>(popped)) {
      co_await std::move(writer).overflow();
      task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
      out->close();
      co_return;
    } else {
      // Closed by the connection: nothing to close again.
      co_await std::move(writer).finish();
      co_return;
    }
  }
  // A write or keepalive failed: later pushes of the connection fail, and the
  // writer is dropped with the task.
  out->close();
}

// Reads and throws away the reader's frames until its incoming side ends.
template <transport::FrameReader R>
asio::awaitable<void> drain_reader(R& reader) {
  for (;;) {
    // Kept out of the loop's condition: g++ 12 miscompiles a co_await there.
    std::optional<Frame> frame = co_await reader.next();
    if (!frame) co_return;
  }
}

inline constexpr auto HELLO_DRAIN_LIMIT = std::chrono::seconds(3);
inline constexpr auto WRITER_LIMIT = std::chrono::seconds(3);
inline constexpr auto OVERFLOW_WRITER_LIMIT = std::chrono::seconds(10);
inline constexpr auto OVERFLOW_DRAIN_LIMIT = std::chrono::seconds(10);

// Waits for `body` at most `limit`; true when it finished in time. A body
// that runs out of time is abandoned at its current wait.
asio::awaitable<bool> within(asio::awaitable<void> body, std::chrono::steady_clock::duration limit);

// Handles one message of a welcomed client and gives the reply to queue, if
// any. The frame is the message's own, relayed to a shim as it arrived.
template <class S>
asio::awaitable<std::optional<EncodedFrame>> handle(const std::shared_ptr<daemon::Daemon<S>>& daemon,
                                                    const std::shared_ptr<Outbound>& out,
                                                    Attachments& attached, quern_protocol::message::Message message,
                                                    Frame frame, bool on_data_plane,
                                                    outbound::Wake when = outbound::Wake::later) {
  namespace m = quern_protocol::message;
  constexpr const char* NOT_ON_DATA_PLANE = "not on the data plane";
  if (on_data_plane) {
    if (const auto* p = message.get<m::Pause>()) co_return error(p->id, NOT_ON_DATA_PLANE);
    if (const auto* r = message.get<m::Resume>()) co_return error(r->id, NOT_ON_DATA_PLANE);
    if (const auto* c = message.get<m::Close>()) co_return error(c->id, NOT_ON_DATA_PLANE);
    if (message.is<m::List>()) co_return error(std::nullopt, NOT_ON_DATA_PLANE);
  }
  if (const auto* hello = message.get<m::Hello>()) {
    co_return quern_session::wire::control(quern_session::wire::answer_hello(hello->versions));
  }
  if (const auto* a = message.get<m::Attach>()) {
    if (attachment(attached, a->id) == nullptr) {
      // The launch record is the client's attach exactly as it arrived; the
      // data plane never starts a shim.
      std::optional<quern_protocol::Bytes> launch;
      if (!on_data_plane) launch = frame.json;
      auto opened = co_await daemon->registry.open(a->id, std::move(launch));
      if (!opened) co_return error(a->id, opened.error().what());
      attached.emplace(a->id, attach(std::move(*opened), out));
    }
    co_return forward(attached, *out, a->id, std::move(frame), when);
  }
  if (const auto* d = message.get<m::Detach>()) {
    attached.erase(d->id);
    co_return std::nullopt;
  }
  if (const auto* w = message.get<m::Write>()) co_return forward(attached, *out, w->id, std::move(frame), when);
  if (const auto* r = message.get<m::Resize>()) co_return forward(attached, *out, r->id, std::move(frame), when);
  if (const auto* p = message.get<m::Pause>()) co_return forward(attached, *out, p->id, std::move(frame), when);
  if (const auto* r = message.get<m::Resume>()) co_return forward(attached, *out, r->id, std::move(frame), when);
  if (const auto* c = message.get<m::Close>()) {
    auto manifest = daemon->registry.manifest(c->id);
    if (!manifest) co_return error(c->id, "no such pty");
    daemon::Daemon<S>::kill(daemon, c->id, registry::Registry::root_of(*manifest), false);
    co_return std::nullopt;
  }
  if (message.is<m::List>()) {
    auto entries = co_await daemon->registry.list();
    co_return quern_session::wire::control(m::Message(m::Listed{std::move(entries)}));
  }
  // welcome, listed, output, exited and error from a client are ignored.
  co_return std::nullopt;
}

// Runs one client connection from its first frame to its end.
template <transport::Transport T, class S>
asio::awaitable<void> serve_on(std::shared_ptr<daemon::Daemon<S>> daemon, T transport) {
  namespace m = quern_protocol::message;
  auto ex = co_await asio::this_coro::executor;
  auto out = Outbound::create(ex, T::lossy_queue);
  auto [reader, writer] = std::move(transport).split();
  Task writer_task = Task::spawn(ex, write_loop(std::move(writer), out));
  Attachments attached;
  bool welcomed = false;

  for (;;) {
    std::optional<Frame> frame = co_await reader.next();
    if (!frame) break;
    std::optional<m::Message> message = quern_session::wire::message_of(*frame);
    if (!message) break;
    if (!welcomed) {
      const auto* hello = message->get<m::Hello>();
      if (hello == nullptr) break;
      m::Message answer = quern_session::wire::answer_hello(hello->versions);
      welcomed = answer.is<m::Welcome>();
      co_await out->push(quern_session::wire::control(std::move(answer)));
      if (welcomed) continue;
      // Let the writer take the refusal before the queue is closed.
      co_await within(out->drained(), HELLO_DRAIN_LIMIT);
      break;
    }
    // With no further frame at hand, input is written to the shim at once.
    const auto when = detail::has_more(reader) ? outbound::Wake::later : outbound::Wake::now;
    auto reply =
        co_await handle(daemon, out, attached, std::move(*message), std::move(*frame), T::on_data_plane, when);
    if (reply && !co_await out->push(std::move(*reply))) break;
    if (out->overflowed()) break;
  }

  attached.clear();
  if (out->overflowed()) {
    if (!co_await within(writer_task.join(), OVERFLOW_WRITER_LIMIT)) writer_task.abort();
    co_await within(drain_reader(reader), OVERFLOW_DRAIN_LIMIT);
  } else {
    out->close();
    if (!co_await within(writer_task.join(), WRITER_LIMIT)) writer_task.abort();
  }
}

// The connection task of a client accepted on the daemon socket or the data plane.
template <transport::Transport T, class S>
asio::awaitable<void> serve(std::shared_ptr<daemon::Daemon<S>> daemon, T transport) {
  co_await serve_on(std::move(daemon), std::move(transport));
}

}  // namespace quernd::conn
