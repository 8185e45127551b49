#include "session.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <type_traits>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "quern_protocol/packet.hpp"
#include "quern_protocol/version.hpp"
#include "quern_session/os_error.hpp"

namespace quern_shim {

using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quern_protocol::frame::Frame;
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kReceiveBuffer = 65536;
constexpr std::size_t kMinRead = 4096;
// At most this much of the program's output goes into one output frame.
constexpr std::size_t kPtyGather = 65536;
// An attached connection that is paused, or has this much unsent, cannot
// take output now: what comes meanwhile is held for it.
constexpr std::size_t kSendHighWater = 256 * 1024;
// At most this much held output per connection: the newest is kept, the
// oldest dropped (and counted), so one stalled viewer costs a bounded amount
// of memory and the others' output never waits for it.
constexpr std::size_t kHeldLimit = 1024 * 1024;
// Connections are not read while this much input waits for the program.
constexpr std::size_t kInputHighWater = 1024 * 1024;
// After the program's end, output has drained when the terminal closes, or
// when it stays quiet this long (a background process may keep it open).
constexpr auto kQuiet = 250ms;
// How long queued frames may take to leave once the end has been reported.
constexpr auto kFlush = 2s;

void diagnose(const char* what, int err) {
  std::fprintf(stderr, "quern-session: %s: %s\n", what, quern_session::OsError::from_errno(err).what().c_str());
}

}  // namespace

struct Session::Conn {
  explicit Conn(int fd) : fd(fd), rx(kReceiveBuffer) {}
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  ~Conn() { ::close(fd); }

  int fd;
  quern_protocol::BytesMut rx;
  std::deque<Bytes> tx;
  std::size_t tx_bytes = 0;
  bool greeted = false;
  bool spoke = false;  // sent something after its hello
  bool attached = false;
  bool paused = false;
  // The window size it gave last, and when, counted in sizings_.
  std::optional<std::pair<std::uint16_t, std::uint16_t>> size;
  std::uint64_t sized_at = 0;
  std::deque<EncodedFrame> held;  // output that came while it could not take any
  std::size_t held_bytes = 0;
  std::uint64_t skipped = 0;  // output bytes dropped from `held`, oldest first
  bool closing = false;       // send what is queued, read nothing more, then close
  bool dead = false;          // close at once
};

Session::Session(SessionSetup setup, Program& program)
    : setup_(std::move(setup)), program_(program), pty_buf_(kReceiveBuffer) {
  auto now = Clock::now();
  quiet_since_ = accept_after_ = now;
}

Session::~Session() {
  if (setup_.listener >= 0) ::close(setup_.listener);
}

std::size_t Session::attached_count() const {
  return static_cast<std::size_t>(std::ranges::count_if(conns_, [](const auto& c) { return c->attached; }));
}

bool Session::takes_output(const Conn& c) { return c.attached && !c.paused && c.tx_bytes < kSendHighWater; }

// Output is read while at least one attached connection can take it: the
// fastest viewer sets the pace, and the others hold what they cannot take yet
// (see relay). So a lone viewer that pauses holds the program back and
// misses nothing. With nobody attached output is read and dropped, except
// before the first attach, so the first client sees it all.
bool Session::reading_pty() const {
  if (!pty_open_ || finishing_) return false;
  bool any = false;
  for (const auto& c : conns_) {
    if (!c->attached) continue;
    if (takes_output(*c)) return true;
    any = true;
  }
  return !any && ever_attached_;
}

int Session::poll_timeout(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  auto consider = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
  if (finishing_) {
    consider(finish_by_);
  } else if (ended_ && attached_count() > 0 && reading_pty()) {
    consider(quiet_since_ + kQuiet);
  }
  if (accept_after_ > now) consider(accept_after_);
  if (!next) return -1;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
}

void Session::run() {
  std::vector<pollfd> fds;
  while (true) {
    auto now = Clock::now();
    for (auto& c : conns_) release_held(*c);
    check_end(now);
    if (finishing_ && (conns_.empty() || now >= finish_by_)) return;

    bool reading = reading_pty();
    if (!reading) quiet_since_ = now;
    short pty_events = static_cast<short>((reading ? POLLIN : 0) | (pty_input_.empty() ? 0 : POLLOUT));
    bool accepting = setup_.listener >= 0 && now >= accept_after_;

    fds.clear();
    fds.push_back({setup_.child_signal, POLLIN, 0});
    fds.push_back({accepting ? setup_.listener : -1, POLLIN, 0});
    // Left out when nothing is asked of it: a hung-up pty would report POLLHUP forever.
    fds.push_back({pty_events != 0 ? program_.master() : -1, pty_events, 0});
    for (const auto& c : conns_) {
      short events = c->tx.empty() ? 0 : POLLOUT;
      if (!c->closing && pty_input_bytes_ < kInputHighWater) events |= POLLIN;
      fds.push_back({c->fd, events, 0});
    }

    if (::poll(fds.data(), fds.size(), poll_timeout(now)) < 0) {
      if (errno == EINTR) continue;
      diagnose("poll", errno);
      return;
    }

    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(setup_.child_signal, drain, sizeof drain) > 0) {
      }
      if (!ended_) ended_ = program_.reap();
    }
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (reading) {
        read_pty();
      } else {
        // Nobody reads the program's side any more: its pending input is moot.
        pty_input_.clear();
        pty_input_bytes_ = 0;
      }
    }
    if ((fds[2].revents & POLLOUT) && !pty_input_.empty()) write_pty();

    // Connections accepted below are polled from the next round on.
    std::size_t polled = fds.size() - 3;
    for (std::size_t i = 0; i < polled; ++i) {
      Conn& c = *conns_[i];
      short re = fds[i + 3].revents;
      if (re & POLLIN) read_conn(c);
      if (!c.dead && (re & POLLOUT)) write_conn(c);
      if (!c.dead && (re & (POLLERR | POLLHUP)) && !(re & POLLIN)) c.dead = true;
    }
    if (fds[1].revents & POLLIN) accept_all();

    for (const auto& c : conns_) {
      if (!c->dead && !(c->closing && c->tx.empty())) continue;
      if (c->attached) viewer_left_ = true;
      // The daemon's close holds a connection that says nothing after its
      // hello while it ends the session's processes, and drops it when done.
      if (c->greeted && !c->spoke && !finishing_) close_asked_ = true;
    }
    std::erase_if(conns_, [](const auto& c) { return c->dead || (c->closing && c->tx.empty()); });
    if (std::exchange(viewer_left_, false)) follow_latest_size();
  }
}

void Session::accept_all() {
  while (true) {
    int fd = ::accept4(setup_.listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      conns_.push_back(std::make_unique<Conn>(fd));
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      // Out of descriptors or the like: try again a little later instead of spinning.
      diagnose("accept", errno);
      accept_after_ = Clock::now() + 100ms;
    }
    return;
  }
}

// A read gives what the program has written so far, often only a few KiB
// while it streams: the terminal is read again while it has more, up to
// kPtyGather, and what came goes out as one output frame. A lone keystroke's
// echo is not delayed: the next read finds nothing and it leaves at once.
void Session::read_pty() {
  std::size_t got = 0;
  bool closed = false;
  while (got < kPtyGather) {
    pty_buf_.reserve(kMinRead);
    auto space = pty_buf_.free_space();
    ssize_t n = ::read(program_.master(), space.data(), std::min(space.size(), kPtyGather - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      // EIO (or end of file): every process has closed the terminal and what
      // they wrote has been read.
      closed = true;
      break;
    }
    pty_buf_.commit(static_cast<std::size_t>(n));
    got += static_cast<std::size_t>(n);
  }
  if (closed) {
    pty_open_ = false;
    pty_input_.clear();
    pty_input_bytes_ = 0;
  }
  if (got == 0) return;
  Bytes data = pty_buf_.split_to(got);
  quiet_since_ = Clock::now();
  modes_.see(data.view());

  msg::Output out{setup_.id, setup_.epoch, sequence_};
  sequence_ += static_cast<std::uint64_t>(got);
  if (attached_count() == 0) return;
  auto frame = quern_protocol::packet::Packet{out, data}.encode_parts();
  if (!frame) return;  // kPtyGather is far below the frame cap
  for (auto& c : conns_) {
    if (c->attached) relay(*c, *frame);
  }
}

// Output goes straight to a connection that can take it and has nothing held;
// otherwise it is held, within kHeldLimit, dropping the oldest held frames.
void Session::relay(Conn& c, const EncodedFrame& output) {
  if (c.held.empty() && c.skipped == 0 && takes_output(c)) {
    queue(c, output);
    return;
  }
  c.held.push_back(output);
  c.held_bytes += output.size();
  while (c.held_bytes > kHeldLimit && c.held.size() > 1) {
    c.held_bytes -= c.held.front().size();
    c.skipped += c.held.front().payload.size();
    c.held.pop_front();
  }
}

// Once a connection can take output again (resumed, or caught up), it gets
// an error telling how much output it missed, if any, then the held output.
// Sequences stay those of the session, so the gap shows in them too.
void Session::release_held(Conn& c, bool even_now) {
  if (c.held.empty() && c.skipped == 0) return;
  if (!even_now && !takes_output(c)) return;
  if (c.skipped > 0) {
    queue(c, msg::Error{setup_.id, "skipped " + std::to_string(c.skipped) +
                                       " bytes of output that came while this connection could not take them"});
  }
  for (const auto& f : c.held) queue(c, f);
  c.held.clear();
  c.held_bytes = 0;
  c.skipped = 0;
}

void Session::write_pty() {
  Bytes& front = pty_input_.front();
  ssize_t n = ::write(program_.master(), front.data(), front.size());
  if (n < 0) {
    if (errno == EAGAIN || errno == EINTR) return;
    pty_input_.clear();
    pty_input_bytes_ = 0;
    return;
  }
  auto written = static_cast<std::size_t>(n);
  pty_input_bytes_ -= written;
  front.advance(written);
  if (front.empty()) pty_input_.pop_front();
}

void Session::read_conn(Conn& c) {
  c.rx.reserve(kMinRead);
  auto space = c.rx.free_space();
  ssize_t n = ::read(c.fd, space.data(), space.size());
  if (n < 0) {
    if (errno != EAGAIN && errno != EINTR) c.dead = true;
    return;
  }
  c.rx.commit(static_cast<std::size_t>(n));
  while (!c.dead && !c.closing) {
    auto decoded = quern_protocol::frame::decode_frame(c.rx);
    if (!decoded) {
      // The stream cannot be resynchronised after a bad header.
      queue(c, msg::Error{std::nullopt, decoded.error().what()});
      c.spoke = true;
      c.closing = true;
      detach(c);
      return;
    }
    if (!*decoded) break;
    handle(c, **decoded);
  }
  if (n == 0) {
    // The peer sends nothing more: answer what it asked, then close.
    c.closing = true;
    detach(c);
  }
}

void Session::write_conn(Conn& c) {
  iovec iov[16];
  int count = 0;
  for (auto it = c.tx.begin(); it != c.tx.end() && count < 16; ++it, ++count) {
    iov[count] = {const_cast<std::uint8_t*>(it->data()), it->size()};
  }
  ssize_t n = ::writev(c.fd, iov, count);
  if (n < 0) {
    if (errno != EAGAIN && errno != EINTR) c.dead = true;
    return;
  }
  auto left = static_cast<std::size_t>(n);
  c.tx_bytes -= left;
  while (left > 0) {
    Bytes& front = c.tx.front();
    std::size_t take = std::min(left, front.size());
    front.advance(take);
    left -= take;
    if (front.empty()) c.tx.pop_front();
  }
}

void Session::queue(Conn& c, const EncodedFrame& f) {
  c.tx.push_back(f.head);
  if (!f.payload.empty()) c.tx.push_back(f.payload);
  c.tx_bytes += f.size();
}

void Session::queue(Conn& c, const msg::Message& m, Bytes payload) {
  auto frame = quern_protocol::packet::Packet{m, std::move(payload)}.encode_parts();
  if (frame) queue(c, *frame);
}

// Messages for another pty get an error naming it.
bool Session::for_us(Conn& c, const msg::PtyId& id) {
  if (id == setup_.id) return true;
  queue(c, msg::Error{id, "no such pty"});
  return false;
}

void Session::handle(Conn& c, const Frame& frame) {
  if (c.greeted) c.spoke = true;
  auto decoded = msg::Message::deserialize(frame.json.span());
  if (!decoded) {
    queue(c, msg::Error{std::nullopt, "undecodable message: " + decoded.error().text});
    c.closing = true;
    detach(c);
    return;
  }
  const msg::Message& m = *decoded;

  if (!c.greeted) {
    // A connection begins with hello; anything else ends it unanswered.
    const auto* hello = m.get<msg::Hello>();
    if (hello == nullptr) {
      c.dead = true;
      return;
    }
    auto version = quern_protocol::version::negotiate(hello->versions);
    if (!version) {
      queue(c, msg::Error{std::nullopt, version.error().what()});
      c.closing = true;
      return;
    }
    queue(c, msg::Welcome{*version});
    c.greeted = true;
    return;
  }

  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, msg::Attach>) {
          if (for_us(c, v.id) && !finishing_) attach(c, v);
        } else if constexpr (std::is_same_v<T, msg::Detach>) {
          if (for_us(c, v.id)) detach(c);
        } else if constexpr (std::is_same_v<T, msg::Write>) {
          if (for_us(c, v.id) && pty_open_ && !frame.payload.empty()) {
            pty_input_.push_back(frame.payload);
            pty_input_bytes_ += frame.payload.size();
          }
        } else if constexpr (std::is_same_v<T, msg::Resize>) {
          if (for_us(c, v.id)) size_from(c, v.cols, v.rows);
        } else if constexpr (std::is_same_v<T, msg::Pause>) {
          if (for_us(c, v.id)) c.paused = true;
        } else if constexpr (std::is_same_v<T, msg::Resume>) {
          if (for_us(c, v.id)) c.paused = false;
        } else if constexpr (std::is_same_v<T, msg::List>) {
          std::optional<msg::Exit> exited;
          if (ended_) exited = msg::Exit{ended_->code, ended_->signal};
          queue(c, msg::Listed{{msg::PtyEntry{setup_.id, msg::Cursor{setup_.epoch, sequence_}, exited}}});
        }
        // Every other kind is not for a shim and is dropped.
      },
      m.value);
}

// Every attach (the daemon forwards each client's) makes the program draw
// its screen again for the new viewer: a viewer that joins first gets the
// sequences that turn on the modes the program's output has turned on, as
// output at the point where it joins (no part of the output's count), then
// the terminal takes the attach's window size, and the program gets SIGWINCH
// whether the size changed or not. A repeated attach relays nothing twice.
// A session whose program has ended only reports that end (check_end).
void Session::attach(Conn& c, const msg::Attach& a) {
  bool joins = !c.attached;
  c.attached = true;
  ever_attached_ = true;
  if (ended_ || !pty_open_) return;
  if (std::string modes = modes_.replay(); joins && !modes.empty()) {
    queue(c, msg::Output{setup_.id, setup_.epoch, sequence_}, Bytes::copy_from(modes));
  }
  bool changed = false;
  if (a.cols > 0 && a.rows > 0) {
    c.size.emplace(a.cols, a.rows);
    c.sized_at = ++sizings_;
    changed = program_.resize(a.cols, a.rows);
  }
  if (!changed) program_.redraw();
}

void Session::detach(Conn& c) {
  if (c.attached) viewer_left_ = true;
  c.attached = false;
  c.held.clear();
  c.held_bytes = 0;
  c.skipped = 0;
}

void Session::size_from(Conn& c, std::uint16_t cols, std::uint16_t rows) {
  if (!pty_open_) return;
  c.size.emplace(cols, rows);
  c.sized_at = ++sizings_;
  program_.resize(cols, rows);
}

// When a viewer has left, the terminal takes the size of the one that
// attached or resized most recently among those still attached.
void Session::follow_latest_size() {
  const Conn* latest = nullptr;
  for (const auto& c : conns_) {
    if (c->attached && c->size && (latest == nullptr || c->sized_at > latest->sized_at)) latest = c.get();
  }
  if (latest != nullptr && pty_open_ && !ended_) program_.resize(latest->size->first, latest->size->second);
}

// Once the program has ended, its end is reported to the attached viewers
// when its output has drained to them. With nobody attached the session
// stays, holding the end for the next viewer to collect, until the daemon
// closes it.
void Session::check_end(Clock::time_point now) {
  if (!ended_ || finishing_) return;
  bool drained = !pty_open_ || (reading_pty() && now - quiet_since_ >= kQuiet);
  if (attached_count() > 0) {
    if (drained) finish(now);
  } else if (close_asked_) {
    finish(now);
  }
}

void Session::finish(Clock::time_point now) {
  finishing_ = true;
  finish_by_ = now + kFlush;
  // Gone before anyone hears of the end, so nothing finds a shim about to leave.
  ::unlink(setup_.socket.c_str());
  ::unlink(setup_.manifest.c_str());
  ::close(setup_.listener);
  setup_.listener = -1;

  msg::Exited exited{setup_.id, setup_.epoch, sequence_, ended_->code, ended_->signal};
  for (auto& c : conns_) {
    if (c->attached) {
      // Held output comes first, also to a connection still paused: the
      // connection closes once what is queued has left, or at finish_by_.
      release_held(*c, true);
      queue(*c, exited);
    }
    c->attached = false;
    c->closing = true;
  }
}

}  // namespace quern_shim
