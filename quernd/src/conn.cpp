#include "conn.hpp"

#include <chrono>
#include <utility>

#include <boost/asio/this_coro.hpp>

#include "daemon.hpp"
#include "decode_turns.hpp"
#include "frames.hpp"
#include "quern_protocol/control.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_session/wire.hpp"
#include "registry.hpp"
#include "task.hpp"
#include "writer.hpp"
#include "ws_transport.hpp"

namespace quernd::conn {

namespace {

constexpr auto HELLO_DRAIN_LIMIT = std::chrono::seconds(3);
constexpr auto WRITER_LIMIT = std::chrono::seconds(3);
constexpr auto OVERFLOW_WRITER_LIMIT = std::chrono::seconds(10);
constexpr auto OVERFLOW_DRAIN_LIMIT = std::chrono::seconds(10);

// Whether the reader has another frame without reading; a reader that cannot
// tell counts as having one.
template <class R>
bool has_more(const R& reader) {
  if constexpr (requires { reader.has_more(); }) {
    return reader.has_more();
  } else {
    return true;
  }
}

// Runs one client connection from its first frame to its end.
template <transport::Transport T>
asio::awaitable<void> serve_on(std::shared_ptr<daemon::Daemon> daemon, T transport) {
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
    std::optional<m::Message> message = co_await decode_in_turns(*frame);
    if (!message) break;
    if (!welcomed) {
      const auto* hello = message->get<m::Hello>();
      if (hello == nullptr) break;
      m::Message answer = quern_protocol::control::answer_hello(hello->versions);
      welcomed = answer.is<m::Welcome>();
      co_await out->push(quern_protocol::control::encode(std::move(answer)));
      if (welcomed) continue;
      // Let the writer take the refusal before the queue is closed.
      co_await sync::within(out->drained(), HELLO_DRAIN_LIMIT);
      break;
    }
    // With no further frame at hand, input is written to the shim at once.
    const auto when = has_more(reader) ? sync::Wake::later : sync::Wake::now;
    auto reply =
        co_await handle(daemon, out, attached, std::move(*message), std::move(*frame), T::on_data_plane, when);
    if (reply && !co_await out->push(std::move(*reply))) break;
    if (out->overflowed()) break;
  }

  attached.clear();
  if (out->overflowed()) {
    if (!co_await sync::within(writer_task.join(), OVERFLOW_WRITER_LIMIT)) writer_task.abort();
    co_await sync::within(drain_reader(reader), OVERFLOW_DRAIN_LIMIT);
  } else {
    out->close();
    if (!co_await sync::within(writer_task.join(), WRITER_LIMIT)) writer_task.abort();
  }
}

}  // namespace

asio::awaitable<std::optional<EncodedFrame>> handle(const std::shared_ptr<daemon::Daemon>& daemon,
                                                    const std::shared_ptr<Outbound>& out, Attachments& attached,
                                                    quern_protocol::message::Message message, Frame frame,
                                                    bool on_data_plane, sync::Wake when) {
  namespace m = quern_protocol::message;
  constexpr const char* NOT_ON_DATA_PLANE = "not on the data plane";
  if (on_data_plane) {
    if (const auto* p = message.get<m::Pause>()) co_return error(p->id, NOT_ON_DATA_PLANE);
    if (const auto* r = message.get<m::Resume>()) co_return error(r->id, NOT_ON_DATA_PLANE);
    if (const auto* c = message.get<m::Close>()) co_return error(c->id, NOT_ON_DATA_PLANE);
    if (message.is<m::List>()) co_return error(std::nullopt, NOT_ON_DATA_PLANE);
  }
  if (const auto* hello = message.get<m::Hello>()) {
    co_return quern_protocol::control::encode(quern_protocol::control::answer_hello(hello->versions));
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
    daemon::Daemon::kill(daemon, c->id, registry::Registry::root_of(*manifest), false);
    co_return std::nullopt;
  }
  if (message.is<m::List>()) {
    auto entries = co_await daemon->registry.list();
    co_return quern_protocol::control::encode(m::Message(m::Listed{std::move(entries)}));
  }
  // welcome, listed, output, exited and error from a client are ignored.
  co_return std::nullopt;
}

asio::awaitable<void> serve(std::shared_ptr<daemon::Daemon> daemon, transport::UnixStream transport) {
  co_await serve_on(std::move(daemon), std::move(transport));
}

asio::awaitable<void> serve(std::shared_ptr<daemon::Daemon> daemon, data_plane::WsTransport transport) {
  co_await serve_on(std::move(daemon), std::move(transport));
}

}  // namespace quernd::conn
