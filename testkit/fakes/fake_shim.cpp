#include "fakes/fake_shim.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/packet.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/socket.hpp"

namespace quern_fakes {

namespace asio = boost::asio;
namespace msg = quern_protocol::message;
using Socket = asio::local::stream_protocol::socket;

struct FakeShim::State {
  State(asio::any_io_executor ex, std::filesystem::path p, Behaviour b)
      : acceptor(ex), path(std::move(p)), behaviour(std::move(b)) {}

  asio::local::stream_protocol::acceptor acceptor;
  std::filesystem::path path;
  Behaviour behaviour;
  std::size_t accepted = 0;
  std::vector<Message> received;
  std::vector<std::shared_ptr<Socket>> connections;
};

namespace {

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

// A fake's bug must fail the test, not vanish.
void rethrow(std::exception_ptr e) {
  if (e) std::rethrow_exception(e);
}

asio::awaitable<bool> send(Socket& socket, const Message& message) {
  auto frame = quern_protocol::packet::Packet{message, {}}.encode_parts();
  if (!frame) throw std::runtime_error("fake shim cannot encode " + message.debug());
  std::array buffers{asio::buffer(frame->head.data(), frame->head.size()),
                     asio::buffer(frame->payload.data(), frame->payload.size())};
  auto [ec, n] = co_await asio::async_write(socket, buffers, use_tuple);
  co_return !ec;
}

asio::awaitable<void> serve(std::shared_ptr<FakeShim::State> s, std::shared_ptr<Socket> socket) {
  using OnHello = Behaviour::OnHello;
  const Behaviour& b = s->behaviour;
  if (b.on_hello == OnHello::CloseAtOnce) {
    socket->close();
    co_return;
  }
  // The socket stays open, held by the state, until the fake is destroyed.
  if (b.on_hello == OnHello::StopReading) co_return;

  quern_protocol::BytesMut buf(4096);
  for (;;) {
    auto frame = quern_protocol::frame::decode_frame(buf);
    if (!frame) co_return;
    if (!*frame) {
      buf.reserve(4096);
      auto space = buf.free_space();
      auto [ec, n] =
          co_await socket->async_read_some(asio::buffer(space.data(), space.size()), use_tuple);
      if (ec || n == 0) co_return;
      buf.commit(n);
      continue;
    }
    auto decoded = Message::deserialize((*frame)->json.span());
    if (!decoded) co_return;
    s->received.push_back(*decoded);
    if (decoded->is<msg::Hello>()) {
      if (b.on_hello == OnHello::Answer) {
        if (!co_await send(*socket, b.answer)) co_return;
      } else if (b.on_hello == OnHello::CloseOnHello) {
        socket->close();
        co_return;
      } else if (b.on_hello == OnHello::Garbage) {
        auto [ec, n] = co_await asio::async_write(*socket, asio::buffer(b.garbage), use_tuple);
        if (ec) co_return;
      }
    } else if (decoded->is<msg::List>() && b.list_answer) {
      if (!co_await send(*socket, *b.list_answer)) co_return;
    }
  }
}

asio::awaitable<void> accept_loop(std::shared_ptr<FakeShim::State> s) {
  auto executor = co_await asio::this_coro::executor;
  for (;;) {
    auto [ec, socket] = co_await s->acceptor.async_accept(use_tuple);
    if (ec) co_return;
    ++s->accepted;
    auto shared = std::make_shared<Socket>(std::move(socket));
    s->connections.push_back(shared);
    asio::co_spawn(executor, serve(s, shared), rethrow);
  }
}

}  // namespace

FakeShim::FakeShim(asio::any_io_executor executor, std::filesystem::path path, Behaviour behaviour)
    : state_(std::make_shared<State>(executor, std::move(path), std::move(behaviour))) {
  asio::local::stream_protocol::endpoint endpoint(state_->path.native());
  state_->acceptor.open(endpoint.protocol());
  state_->acceptor.bind(endpoint);
  state_->acceptor.listen();
  asio::co_spawn(executor, accept_loop(state_), rethrow);
}

FakeShim::~FakeShim() {
  boost::system::error_code ignored;
  state_->acceptor.close(ignored);
  for (auto& c : state_->connections) c->close(ignored);
}

const std::filesystem::path& FakeShim::path() const { return state_->path; }
std::size_t FakeShim::accepted() const { return state_->accepted; }
std::vector<Message> FakeShim::received() const { return state_->received; }

JammedSocket::JammedSocket(const std::filesystem::path& path) {
  const sockaddr_un addr = quern_test_support::unix_address(path);
  const auto* sa = reinterpret_cast<const sockaddr*>(&addr);

  auto fail = [this](const char* what) {
    std::string text = std::string("jammed socket: ") + what + ": " + std::strerror(errno);
    release();
    throw std::runtime_error(text);
  };
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) fail("socket");
  if (::bind(listener_, sa, sizeof addr) != 0) fail("bind");
  if (::listen(listener_, 0) != 0) fail("listen");
  // Fill the backlog: connects succeed until the queue is full, and the next
  // one would block.
  for (int i = 0; i < 64; ++i) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) fail("socket");
    if (::connect(fd, sa, sizeof addr) != 0) {
      int err = errno;
      ::close(fd);
      errno = err;
      if (err == EAGAIN) return;
      fail("connect");
    }
    waiting_.push_back(fd);
  }
  errno = 0;
  fail("the backlog never filled");
}

JammedSocket::~JammedSocket() { release(); }

void JammedSocket::release() {
  for (int fd : waiting_) ::close(fd);
  waiting_.clear();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

boost::json::object manifest_json(const std::string& id, int shim_pid,
                                  const std::filesystem::path& socket, const std::string& boot_id) {
  auto started = quern_session::procinfo::start_time(shim_pid).value_or(
      quern_session::procinfo::StartTime{0, 0});
  boost::json::object o;
  o["id"] = id;
  o["shim_pid"] = shim_pid;
  o["shell_pid"] = shim_pid;
  o["pgid"] = shim_pid;
  o["tty"] = "";
  o["socket"] = socket.native();
  o["started_at"] = boost::json::object{{"secs", started.secs}, {"micros", started.micros}};
  o["boot_id"] = boot_id;
  return o;
}

std::filesystem::path scripts_dir() { return QUERN_FAKES_SCRIPTS; }

}  // namespace quern_fakes
