#include "attach.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <utility>
#include <vector>

#include <boost/asio/this_coro.hpp>

#include "quern_protocol/control.hpp"
#include "transport.hpp"

namespace quernd::conn {

namespace msg = quern_protocol::message;
using task::throw_if_aborted;

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
                                    Frame frame, sync::Wake when) {
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
    auto written = co_await quern_session::wire::write_frames(shim, batch);
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
    // Frames are passed on as they came, header and all; those already in
    // the buffer are taken without a wait.
    std::optional<EncodedFrame> buffered = shim.buffered_encoded();
    if (!buffered) {
      auto next = co_await shim.next_encoded();
      throw_if_aborted(co_await asio::this_coro::cancellation_state);
      // End of stream, a read error or a malformed header.
      if (!next || !*next) break;
      buffered = std::move(**next);
    }
    EncodedFrame frame = std::move(*buffered);

    auto message = msg::Message::deserialize(frame.json().span());
    if (!message) break;
    if (!relayed(*message)) continue;

    // With nothing more at hand the writer runs at once; while more comes,
    // frames gather for one write.
    auto pushed =
        out->try_push(own_storage(std::move(frame)), shim.has_more() ? sync::Wake::later : sync::Wake::now);
    if (pushed) continue;

    // More than 1 MiB waits for the client: hold the shim until it is gone.
    if (!pause_pair) {
      const PtyId id = *relayed_id(std::move(*message));
      pause_pair.emplace(quern_protocol::control::encode(msg::Pause{id}),
                         quern_protocol::control::encode(msg::Resume{id}));
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

}  // namespace quernd::conn
