// quern-bench-shim: a session shim without a terminal, for the relay
// benchmark. Started as `quern-bench-shim --id <id>` with an attach on
// standard input, it listens on the session's socket, writes the session's
// manifest and reports "ok". Each connection is served by a thread of its
// own: hello is answered with welcome and list with an empty listed; the
// connection's attach picks what it does, by its argv:
//   ["stream", SIZE, COUNT]  sends COUNT output frames of SIZE bytes at once,
//                            holding back between pause and resume; with a
//                            fourth word "report-pauses" it also writes
//                            "quern-bench-shim: <id> paused" (or "resumed")
//                            to standard error at each pause and resume;
//   ["echo"]                 answers every write with one output frame
//                            carrying the same bytes;
//   ["pin", COUNT]           sends COUNT pairs of a welcome frame with a
//                            payload near 8 MiB (which the daemon drops) and
//                            an output frame of one byte, holding back
//                            between pause and resume.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "frame_io.hpp"
#include "manifest_file.hpp"
#include "quern_protocol/control.hpp"
#include "quern_protocol/packet.hpp"
#include "quern_session/paths.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_session/wire.hpp"

namespace msg = quern_protocol::message;
using quern_bench::Bytes;
using quern_bench::Outgoing;
using quern_bench::OutputFrames;

namespace {

// Frames queued per batch while streaming.
constexpr std::size_t BATCH_FRAMES_LARGE = 4;
constexpr std::size_t BATCH_FRAMES_SMALL = 512;
// Leaves room for the JSON text within the 8 MiB frame cap.
constexpr std::size_t MAX_PAYLOAD = 8 * 1024 * 1024 - 4096;

void report(const std::string& line) {
  std::string text = line + "\n";
  (void)!::write(STDOUT_FILENO, text.data(), text.size());
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
}

void drain_stdin() {
  char buf[4096];
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
}

int listen_on(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
  ::unlink(path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::chmod(path.c_str(), 0600) != 0 ||
      ::listen(fd, 64) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class Connection {
 public:
  Connection(int fd, msg::PtyId id) : fd_(fd), id_(std::move(id)) {}
  ~Connection() { ::close(fd_); }

  void run() {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    for (;;) {
      bool streaming = left_ > 0 && !paused_;
      pollfd p{fd_, static_cast<short>(POLLIN | (streaming || !out_.empty() ? POLLOUT : 0)), 0};
      if (::poll(&p, 1, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && !read_in()) return;
      if (out_.empty() && left_ > 0 && !paused_) {
        std::size_t n = std::min(left_, batch_);
        if (pin_.size()) {
          out_.push(pin_head_);
          out_.push(pin_);
          frames_->push(out_, one_byte_);
        } else {
          frames_->fill(out_, n);
        }
        left_ -= n;
      }
      if (!out_.write_some(fd_)) return;
    }
  }

 private:
  // Reads what has arrived and handles every whole frame; false at the end.
  bool read_in() {
    for (;;) {
      rx_.reserve(64 * 1024);
      auto space = rx_.free_space();
      ssize_t r = ::read(fd_, space.data(), space.size());
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno == EAGAIN) return true;
      if (r <= 0) return false;
      rx_.commit(static_cast<std::size_t>(r));
      for (;;) {
        auto decoded = quern_protocol::frame::decode_frame(rx_);
        if (!decoded) return false;
        if (!*decoded) break;
        if (!handle(**decoded)) return false;
      }
    }
  }

  bool handle(const quern_bench::Frame& f) {
    auto m = quern_protocol::control::message_of(f);
    if (!m) return false;
    if (const auto* hello = m->get<msg::Hello>()) {
      queue(quern_protocol::control::answer_hello(hello->versions));
    } else if (m->is<msg::List>()) {
      queue(msg::Listed{});
    } else if (const auto* attach = m->get<msg::Attach>()) {
      start(*attach);
    } else if (m->is<msg::Write>() && echo_) {
      frames_->push(out_, f.payload);
    } else if (m->is<msg::Pause>()) {
      paused_ = true;
      if (report_pauses_) tell("paused");
    } else if (m->is<msg::Resume>()) {
      paused_ = false;
      if (report_pauses_) tell("resumed");
    }
    return true;
  }

  void start(const msg::Attach& attach) {
    const auto& argv = attach.argv;
    std::size_t size = 0, count = 0;
    if (argv.size() == 1 && argv[0] == "echo") {
      echo_ = true;
      frames_.emplace(id_.text, Bytes());
    } else if ((argv.size() == 3 || (argv.size() == 4 && argv[3] == "report-pauses")) && argv[0] == "stream" &&
               parse(argv[1], size) && parse(argv[2], count) && size <= MAX_PAYLOAD) {
      report_pauses_ = argv.size() == 4;
      std::vector<std::uint8_t> payload(size);
      for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>('a' + i % 26);
      frames_.emplace(id_.text, Bytes::from_vector(std::move(payload)));
      left_ = count;
      batch_ = size > 4096 ? BATCH_FRAMES_LARGE : BATCH_FRAMES_SMALL;
    } else if (argv.size() == 2 && argv[0] == "pin" && parse(argv[1], count)) {
      pin_ = Bytes::from_vector(std::vector<std::uint8_t>(MAX_PAYLOAD, 'p'));
      auto dropped = quern_protocol::packet::Packet{msg::Welcome{1}, pin_}.encode_parts();
      if (!dropped) return queue(msg::Error{id_, dropped.error().what()});
      pin_head_ = dropped->head;
      one_byte_ = Bytes::from_vector({'x'});
      frames_.emplace(id_.text, Bytes());
      left_ = count;
      batch_ = 1;
    } else {
      queue(msg::Error{id_, "quern-bench-shim: attach argv must be [\"echo\"], [\"stream\", SIZE, COUNT] "
                            "(and \"report-pauses\") or [\"pin\", COUNT]"});
    }
  }

  static bool parse(const std::string& text, std::size_t& out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
  }

  // One line on standard error, which the shim shares with the daemon that
  // started it.
  void tell(const std::string& what) const {
    const std::string line = "quern-bench-shim: " + id_.text + " " + what + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
  }

  void queue(const msg::Message& m) {
    auto frame = quern_protocol::control::encode(m);
    out_.push(frame.head);
  }

  int fd_;
  msg::PtyId id_;
  quern_protocol::BytesMut rx_{64 * 1024};
  Outgoing out_;
  std::optional<OutputFrames> frames_;
  bool echo_ = false;
  bool paused_ = false;
  bool report_pauses_ = false;
  std::size_t left_ = 0;
  std::size_t batch_ = 1;
  Bytes pin_, pin_head_, one_byte_;  // the pinning pairs
};

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc != 3 || std::string_view(argv[1]) != "--id") {
    report("usage: quern-bench-shim --id <id>");
    return 2;
  }
  const msg::PtyId id{argv[2]};
  ::setsid();
  drain_stdin();

  auto runtime = quern_session::paths::Runtime::from_env();
  if (auto ensured = runtime.ensure(); !ensured) {
    report("runtime dir: " + ensured.error().what());
    return 1;
  }
  const auto socket = runtime.session_socket(id);
  int listener = listen_on(socket);
  if (listener < 0) {
    report("cannot listen on " + socket.native() + ": " + std::strerror(errno));
    return 1;
  }
  auto started_at = quern_session::procinfo::start_time(::getpid());
  if (!started_at) {
    report("cannot read the shim's start time");
    return 1;
  }
  // No terminal and no shell: the shim stands for its own shell.
  quern_session::manifest::Manifest record{
      .id = id,
      .shim_pid = ::getpid(),
      .shell_pid = ::getpid(),
      .pgid = ::getpgrp(),
      .tty = "",
      .socket = socket,
      .started_at = *started_at,
      .boot_id = quern_session::procinfo::boot_id().value_or(""),
      .shell_started_at = started_at,
      .cgroup = std::nullopt,
  };
  if (auto written = quern_shim::write_manifest(runtime.session_manifest(id), record); !written) {
    report(written.error());
    return 1;
  }
  report("ok");

  for (;;) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::cerr << "quern-bench-shim: accept: " << std::strerror(errno) << std::endl;
      return 1;
    }
    std::thread([fd, id] { Connection(fd, id).run(); }).detach();
  }
}
