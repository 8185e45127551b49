#include "pty_bench.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "frame_io.hpp"
#include "processes.hpp"
#include "quern_session/paths.hpp"

namespace quern_bench {
namespace {

namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quern_session::paths::Runtime;

// The file's last line; '-' and spaces are not in the base64 alphabet, so
// it is found only at the end.
const std::string END_LINE = "-- end of quern-bench's file --";
// What the keystroke program prints once its terminal is raw.
const std::string RAW_READY = "quern-bench: raw";
// Waiting longer than this for the next bytes fails the case.
constexpr auto READ_LIMIT = 10s;
// No `cat` runs longer than this.
constexpr auto CAT_LIMIT = 120s;
// Keystrokes made before the measured ones.
constexpr std::size_t ECHO_WARM_UP = 200;

// Writes about `megabytes` MB of base64 lines of 76 characters (of bytes
// from a fixed generator), then END_LINE; the file's size.
std::size_t write_file(const std::filesystem::path& file, std::size_t megabytes) {
  static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("open " + file.native(), errno);
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  std::string buf;
  buf.reserve(1 << 20);
  std::size_t total = 0;
  auto flush = [&] {
    iovec iov{buf.data(), buf.size()};
    write_all(fd, &iov, 1);
    total += buf.size();
    buf.clear();
  };
  const std::size_t target = megabytes * 1'000'000;
  while (total + buf.size() + 77 <= target) {
    for (int i = 0; i < 76; ++i) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      buf += ALPHABET[state & 63];
    }
    buf += '\n';
    if (buf.size() >= (1 << 20) - 80) flush();
  }
  buf += END_LINE + "\n";
  flush();
  ::close(fd);
  return total;
}

// Looks for a text in a stream that comes in pieces.
class Watch {
 public:
  explicit Watch(std::string needle) : needle_(std::move(needle)) {}
  // Whether the text has been seen, up to and with `data`.
  bool seen(std::span<const std::uint8_t> data) {
    std::string_view d(reinterpret_cast<const char*>(data.data()), data.size());
    const std::size_t keep = needle_.size() - 1;
    std::string across = tail_;
    across.append(d.substr(0, std::min(keep, d.size())));
    if (across.find(needle_) != std::string::npos || d.find(needle_) != std::string_view::npos) return true;
    tail_ += d.substr(d.size() > keep ? d.size() - keep : 0);
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
    return false;
  }

 private:
  std::string needle_;
  std::string tail_;
};

// One end of a terminal session the benchmark drives: what it types goes to
// the program's terminal, and what the program prints comes back.
class Side {
 public:
  virtual ~Side() = default;
  virtual void type(std::span<const std::uint8_t> keys) = 0;
  // The next output; throws when nothing comes within READ_LIMIT or the
  // session has ended.
  virtual std::span<const std::uint8_t> output() = 0;

  void type(std::string_view keys) { type({reinterpret_cast<const std::uint8_t*>(keys.data()), keys.size()}); }
  // Reads output until `text` has been seen, within `limit`.
  void await(const std::string& text, Clock::duration limit = READ_LIMIT) {
    Watch w(text);
    const auto deadline = Clock::now() + limit;
    while (!w.seen(output())) {
      if (Clock::now() > deadline) throw std::runtime_error("\"" + text + "\" did not come in time");
    }
  }
};

// A local client of the daemon attached to a session of its own.
class DaemonSide : public Side {
 public:
  DaemonSide(const Runtime& runtime, const std::string& id, const std::vector<std::string>& argv)
      : conn_(Conn::connect(runtime.daemon_socket())), id_(id), write_(json_of(msg::Write{{id}})) {
    conn_.send(msg::Hello{{1}});
    conn_.expect("welcome");
    msg::Attach a;
    a.id = {id};
    a.cols = 80;
    a.rows = 24;
    a.argv = argv;
    conn_.send(a);
  }
  ~DaemonSide() override {
    // Ends the session's program when it still runs (the keystroke case's).
    try {
      conn_.send(msg::Close{{id_}});
    } catch (...) {
    }
  }
  void type(std::span<const std::uint8_t> keys) override { conn_.send(write_, keys); }
  std::span<const std::uint8_t> output() override {
    for (;;) {
      last_ = conn_.recv();
      if (is_output(last_)) return last_.payload.span();
      auto m = Message::deserialize(last_.json.span());
      if (!m) throw std::runtime_error("undecodable frame from the daemon: " + m.error().text);
      if (m->is<msg::Output>()) return last_.payload.span();
      if (m->is<msg::Error>() || m->is<msg::Exited>()) throw std::runtime_error("the daemon sent " + m->debug());
    }
  }

 private:
  Conn conn_;
  std::string id_;
  std::string write_;
  Frame last_;
};

// dtach: `dtach -N SOCKET CMD...` holds the program's terminal (in the
// foreground, as a child of ours), and `dtach -a SOCKET` runs on a terminal
// of the benchmark's own, which is raw before the client starts.
class DtachSide : public Side {
 public:
  DtachSide(const std::filesystem::path& dtach, const std::filesystem::path& socket,
            const std::vector<std::string>& argv) {
    std::vector<std::string> master_argv{dtach.native(), "-N", socket.native(), "-E", "-r", "none", "-z"};
    master_argv.insert(master_argv.end(), argv.begin(), argv.end());
    master_ = spawn(master_argv, {});
    track(master_);
    const auto deadline = Clock::now() + READ_LIMIT;
    while (!std::filesystem::exists(socket)) {
      if (reap(master_, 0ms)) {
        untrack(std::exchange(master_, -1));
        throw std::runtime_error("dtach -N ended before it listened");
      }
      if (Clock::now() > deadline) {
        end();
        throw std::runtime_error("dtach -N did not listen within 10 s");
      }
      std::this_thread::sleep_for(5ms);
    }
    // Everything the child needs, made before it forks.
    std::vector<std::string> client{dtach.native(), "-a", socket.native(), "-E", "-r", "none", "-z"};
    std::vector<char*> args;
    for (auto& a : client) args.push_back(a.data());
    args.push_back(nullptr);
    termios raw{};
    ::cfmakeraw(&raw);
    winsize size{.ws_row = 24, .ws_col = 80, .ws_xpixel = 0, .ws_ypixel = 0};
    sigset_t none;
    sigemptyset(&none);
    client_ = ::forkpty(&terminal_, nullptr, &raw, &size);
    if (client_ < 0) {
      const int err = errno;
      end();
      fail("forkpty", err);
    }
    if (client_ == 0) {
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGPIPE, SIG_DFL);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    track(client_);
    ::fcntl(terminal_, F_SETFD, FD_CLOEXEC);
  }
  ~DtachSide() override { end(); }
  // The keystroke case's program does not end by itself.
  void end_program() {
    if (master_ > 0) {
      stop_child(master_, 3s);
      untrack(std::exchange(master_, -1));
    }
  }
  void type(std::span<const std::uint8_t> keys) override {
    iovec iov{const_cast<std::uint8_t*>(keys.data()), keys.size()};
    write_all(terminal_, &iov, 1);
  }
  std::span<const std::uint8_t> output() override {
    for (;;) {
      pollfd p{terminal_, POLLIN, 0};
      int r = ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(READ_LIMIT).count()));
      if (r < 0 && errno == EINTR) continue;
      if (r == 0) throw std::runtime_error("nothing from dtach's client within 10 s");
      ssize_t n = ::read(terminal_, buf_.data(), buf_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EIO) throw std::runtime_error("dtach's client has ended");
      if (n < 0) fail("read from dtach's client", errno);
      if (n == 0) throw std::runtime_error("dtach's client has ended");
      return {buf_.data(), static_cast<std::size_t>(n)};
    }
  }

 private:
  // The master ends by itself once its program has; otherwise it is
  // stopped, which hangs up the program's terminal. The client follows.
  void end() {
    if (terminal_ >= 0) ::close(std::exchange(terminal_, -1));
    for (pid_t* p : {&master_, &client_}) {
      if (*p <= 0) continue;
      if (!reap(*p, 2s)) stop_child(*p, 3s);
      untrack(std::exchange(*p, -1));
    }
  }

  pid_t master_ = -1;
  pid_t client_ = -1;
  int terminal_ = -1;
  std::vector<std::uint8_t> buf_ = std::vector<std::uint8_t>(64 * 1024);
};

// Both programs first wait for a line: a key typed before it comes back
// through the whole path once the client is attached.
void wait_until_attached(Side& side) {
  side.type("x");
  side.await("x");
}

// `cat` of the file through the terminal, from the Enter that starts it to
// its last line; seconds.
double cat_once(Side& side) {
  wait_until_attached(side);
  const auto start = Clock::now();
  side.type("\r");
  side.await(END_LINE, CAT_LIMIT);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Latency {
  double median_us = 0;
  double p99_us = 0;
};

// One key typed, its echo read, back to back.
Latency echo_on(Side& side, std::size_t count) {
  wait_until_attached(side);
  side.type("\r");
  side.await(RAW_READY);
  std::vector<double> us;
  us.reserve(count);
  for (std::size_t i = 0; i < ECHO_WARM_UP + count; ++i) {
    const std::uint8_t key = static_cast<std::uint8_t>('a' + i % 26);
    const auto start = Clock::now();
    side.type({&key, 1});
    auto got = side.output();
    const auto end = Clock::now();
    if (got.size() != 1 || got[0] != key) throw std::runtime_error("keystroke: wrong bytes came back");
    if (i >= ECHO_WARM_UP) us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(us.begin(), us.end());
  std::size_t p99 = (us.size() * 99 + 99) / 100 - 1;
  return {us[us.size() / 2], us[std::min(p99, us.size() - 1)]};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct TempDir {
  std::filesystem::path root;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

// The daemon of the terminal cases, and the shims it started, ended with it.
struct PtyDaemon {
  const Runtime& runtime;
  std::atomic<pid_t> pid{-1};
  ~PtyDaemon() {
    stop_shims(runtime, 3s);
    if (pid_t p = pid.exchange(-1); p > 0) {
      stop_child(p, 10s);
      untrack(p);
    }
  }
};

}  // namespace

void pty_cases(const PtyOptions& o) {
  const std::filesystem::path dtach = on_path("dtach");
  std::printf("\nthrough the terminal: the daemon with its test shim beside dtach\n");
  if (dtach.empty() || o.session.empty() || !std::filesystem::exists(o.session)) {
    std::printf("  %-16s skipped: %s\n", "dtach",
                dtach.empty() ? "dtach is not on PATH (Debian's dtach)"
                              : "the test shim quern-session is not there (build it beside quernd)");
    return;
  }
  char pattern[] = "/tmp/quern-bench-pty-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) fail("mkdtemp", errno);
  const TempDir dir{pattern};
  const Runtime runtime{dir.root / "run"};
  const std::filesystem::path file = dir.root / "base64.txt";
  const std::size_t bytes = write_file(file, o.megabytes);

  PtyDaemon daemon{runtime};
  daemon.pid = start_daemon(o.daemon, o.session, runtime, {}, daemon.pid);
  track(daemon.pid);

  const std::vector<std::string> cat{"/bin/sh", "-c", "read line; exec cat \"$0\"", file.native()};
  const std::vector<std::string> echo{"/bin/sh", "-c",
                                      "read line; stty raw -echo; printf '%s' \"$0\"; exec cat", RAW_READY};
  std::vector<double> ours, theirs;
  for (std::size_t r = 0; r < o.runs; ++r) {
    auto run_ours = [&] {
      DaemonSide side(runtime, "cat-" + std::to_string(r), cat);
      ours.push_back(cat_once(side));
    };
    auto run_theirs = [&] {
      DtachSide side(dtach, dir.root / ("cat-" + std::to_string(r)), cat);
      theirs.push_back(cat_once(side));
    };
    // Each goes first in every other run.
    if (r % 2 == 0) run_ours(), run_theirs();
    else run_theirs(), run_ours();
  }
  const double mb = static_cast<double>(bytes) / 1e6;
  const double our_rate = mb / median(ours), their_rate = mb / median(theirs);
  std::printf("  cat of %.0f MB of base64 lines to a client that reads it all (median of %zu runs)\n", mb,
              o.runs);
  std::printf("  %-20s %10s %10s\n", "path", "MB/s", "s");
  std::printf("  %-20s %10.1f %10.2f\n", "daemon+shim", our_rate, median(ours));
  std::printf("  %-20s %10.1f %10.2f\n", "dtach", their_rate, median(theirs));
  std::printf("  %-20s %9.2fx\n", "daemon+shim/dtach", our_rate / their_rate);

  Latency l_ours, l_theirs;
  {
    DaemonSide side(runtime, "keys", echo);
    l_ours = echo_on(side, o.echoes);
  }
  {
    DtachSide side(dtach, dir.root / "keys", echo);
    l_theirs = echo_on(side, o.echoes);
    side.end_program();
  }
  std::printf("  keystroke, 1 byte typed and echoed by cat on a raw terminal (%zu echoes)\n", o.echoes);
  std::printf("  %-20s %10s %10s\n", "path", "median us", "p99 us");
  std::printf("  %-20s %10.1f %10.1f\n", "daemon+shim", l_ours.median_us, l_ours.p99_us);
  std::printf("  %-20s %10.1f %10.1f\n", "dtach", l_theirs.median_us, l_theirs.p99_us);
  std::printf("  %-20s %9.2fx %9.2fx\n", "daemon+shim/dtach", l_ours.median_us / l_theirs.median_us,
              l_ours.p99_us / l_theirs.p99_us);
  std::fflush(stdout);
}

}  // namespace quern_bench
