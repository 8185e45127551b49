// `attach`: the terminal in raw mode, stdin to `write` frames, `output` to
// stdout, SIGWINCH to `resize`; the detach key (Ctrl-\ unless chosen
// otherwise) detaches. At the end the terminal gets back the modes that the
// session's output turned on.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "cli.hpp"
#include "quern_testkit/terminal_modes.hpp"

namespace quern_cli {
namespace {

namespace msg = quern_protocol::message;
using quern_protocol::Bytes;
using quern_testkit::ClientError;
using quern_testkit::TerminalModes;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Keys typed on a terminal wait there until the session shows output or its
// end, or until this long after the attach was answered: a program that ends
// at once leaves them to whatever reads the terminal next.
constexpr auto kInputHold = 250ms;
// How long a detach waits for the daemon to have taken the input before it.
constexpr auto kDetachConfirm = 5s;

// The write end of the self-pipe; each byte written is a signal's number.
int g_wake_fd = -1;

extern "C" void on_signal(int sig) {
  int saved = errno;
  char c = static_cast<char>(sig);
  [[maybe_unused]] auto n = ::write(g_wake_fd, &c, 1);
  errno = saved;
}

class SelfPipe {
 public:
  SelfPipe() {
    if (::pipe(fds_) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    for (int fd : fds_) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    g_wake_fd = fds_[1];
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGWINCH, SIGTERM, SIGHUP, SIGINT, SIGQUIT}) ::sigaction(sig, &sa, nullptr);
  }
  ~SelfPipe() {
    struct sigaction sa{};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGWINCH, SIGTERM, SIGHUP, SIGINT, SIGQUIT}) ::sigaction(sig, &sa, nullptr);
    g_wake_fd = -1;
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  SelfPipe(const SelfPipe&) = delete;
  SelfPipe& operator=(const SelfPipe&) = delete;
  int read_end() const { return fds_[0]; }

 private:
  int fds_[2];
};

// Raw mode on stdin while it lives, when stdin is a terminal.
class RawTerminal {
 public:
  RawTerminal() {
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    ::cfmakeraw(&raw);
    active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() { restore(); }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;
  void restore() {
    if (active_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    active_ = false;
  }
  bool active() const { return active_; }

 private:
  termios saved_{};
  bool active_ = false;
};

std::pair<std::uint16_t, std::uint16_t> window_size() {
  winsize ws{};
  if (::isatty(STDIN_FILENO) && ::ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    return {ws.ws_col, ws.ws_row};
  }
  return {80, 24};
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, -1);
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// How the session loop ended: the exit status and the line for stderr.
struct Outcome {
  int status;
  std::string line;
};

// The connection to the daemon failed. Once attached, the session goes on
// in its shim without the daemon, and can be attached again.
Outcome lost(const ClientError& e, const msg::PtyId& id, bool attached) {
  std::string what = e.kind == ClientError::Kind::Closed ? "the daemon closed the connection"
                                                         : "lost the daemon (" + e.text + ")";
  if (!attached) return {1, "quern-client: " + what + " before " + id.text + " was attached"};
  return {1, "quern-client: " + what + "; session " + id.text + " goes on without it: attach again once the daemon runs"};
}

class Session {
 public:
  Session(quern_testkit::Client& client, msg::PtyId id, const RawTerminal& raw, int wake, TerminalModes& modes,
          std::optional<unsigned char> detach_key)
      : client_(client),
        id_(std::move(id)),
        raw_(raw),
        wake_(wake),
        modes_(modes),
        detach_key_(detach_key),
        hold_input_(::isatty(STDIN_FILENO)) {}

  Outcome run() {
    bool stdin_open = true;
    while (true) {
      auto now = Clock::now();
      if (hold_input_ && hold_until_ && now >= *hold_until_) hold_input_ = false;
      if (detaching_ && now >= detach_by_) return detach();
      bool reading = stdin_open && !hold_input_ && !detaching_;
      pollfd fds[3] = {{client_.fd(), POLLIN, 0}, {reading ? STDIN_FILENO : -1, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (::poll(fds, 3, timeout(now)) < 0) {
        if (errno == EINTR) continue;
        return {1, std::string("quern-client: poll: ") + std::strerror(errno)};
      }
      if (fds[0].revents != 0) {
        if (auto done = from_daemon()) return *done;
      }
      if (fds[1].revents != 0) {
        if (auto done = from_stdin(stdin_open)) return *done;
      }
      if (fds[2].revents != 0) {
        if (auto done = on_signals()) return *done;
      }
    }
  }

 private:
  // Milliseconds until the next deadline, -1 when none is set.
  int timeout(Clock::time_point now) const {
    std::optional<Clock::time_point> next;
    if (hold_input_ && hold_until_) next = *hold_until_;
    if (detaching_) next = next ? std::min(*next, detach_by_) : detach_by_;
    if (!next) return -1;
    return static_cast<int>(std::max<long long>(std::chrono::ceil<std::chrono::milliseconds>(*next - now).count(), 0));
  }

  // A line while the session runs: raw mode needs the carriage return.
  void note(const std::string& text) const {
    const char* end = raw_.active() && ::isatty(STDERR_FILENO) ? "\r\n" : "\n";
    std::fprintf(stderr, "%s%s", text.c_str(), end);
    if (::isatty(STDERR_FILENO)) modes_.line_ended();
  }

  Outcome failed(const ClientError& e) const { return lost(e, id_, attached_); }

  Outcome detach() {
    if (auto sent = client_.send(msg::Detach{id_}); !sent) return failed(sent.error());
    return Outcome{0, "[detached]"};
  }

  std::optional<Outcome> from_daemon() {
    while (true) {
      auto got = client_.try_recv();
      if (!got) return failed(got.error());
      if (!*got) return std::nullopt;
      const auto& m = (*got)->message;
      if (m.is<msg::Output>()) {
        attached_ = true;
        hold_input_ = false;
        modes_.see((*got)->payload.view());
        if (!write_all(STDOUT_FILENO, (*got)->payload.view())) {
          return Outcome{1, std::string("quern-client: stdout: ") + std::strerror(errno)};
        }
      } else if (const auto* e = m.get<msg::Exited>()) {
        return Outcome{0, "[" + exit_text(msg::Exit{e->code, e->signal}) + "]"};
      } else if (const auto* e = m.get<msg::Error>()) {
        // Before the welcome that answers the hello sent after the attach,
        // an error is the attach's own: it failed, and nothing is attached.
        if (!attached_) return Outcome{1, "quern-client: " + describe(*e)};
        note("quern-client: " + describe(*e));
      } else if (m.is<msg::Welcome>()) {
        attached_ = true;
        if (!hold_until_) hold_until_ = Clock::now() + kInputHold;
        if (welcomes_due_ > 0) --welcomes_due_;
        if (detaching_ && welcomes_due_ == 0) return detach();
      }
    }
  }

  std::optional<Outcome> from_stdin(bool& stdin_open) {
    char buf[65536];
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
    if (n <= 0) {
      // Without input the session still runs; its end comes from the daemon.
      stdin_open = false;
      return std::nullopt;
    }
    std::string_view input(buf, static_cast<std::size_t>(n));
    auto key = detach_key_ ? input.find(static_cast<char>(*detach_key_)) : std::string_view::npos;
    if (auto typed = input.substr(0, key); !typed.empty()) {
      if (auto sent = client_.send(msg::Write{id_}, Bytes::copy_from(typed)); !sent) return failed(sent.error());
    }
    if (key == std::string_view::npos) return std::nullopt;
    // What follows the key is not sent. A detach drops the input that the
    // daemon has not yet passed on to the session; the daemon handles a
    // connection's messages in order, so the detach waits for its answer to
    // a hello sent behind the input.
    if (auto sent = client_.send(msg::Hello{{1}}); !sent) return failed(sent.error());
    ++welcomes_due_;
    detaching_ = true;
    detach_by_ = Clock::now() + kDetachConfirm;
    return std::nullopt;
  }

  std::optional<Outcome> on_signals() {
    char sigs[64];
    ssize_t n = ::read(wake_, sigs, sizeof sigs);
    bool resized = false;
    for (ssize_t i = 0; i < n; ++i) {
      if (sigs[i] != SIGWINCH) return Outcome{1, "quern-client: stopped by signal " + std::to_string(sigs[i])};
      resized = true;
    }
    if (resized) {
      auto [cols, rows] = window_size();
      if (auto sent = client_.send(msg::Resize{id_, cols, rows, true}); !sent) return failed(sent.error());
    }
    return std::nullopt;
  }

  quern_testkit::Client& client_;
  msg::PtyId id_;
  const RawTerminal& raw_;
  int wake_;
  TerminalModes& modes_;
  std::optional<unsigned char> detach_key_;
  bool attached_ = false;  // the daemon has answered past the attach
  int welcomes_due_ = 1;   // hellos sent and not yet answered; the first follows the attach
  bool hold_input_;        // keys wait in the terminal (see kInputHold)
  std::optional<Clock::time_point> hold_until_;
  bool detaching_ = false;  // the key was read; the detach waits for welcomes_due_ to reach 0
  Clock::time_point detach_by_;
};

// Puts the terminal back as the session found it and starts a fresh line,
// so that the closing line is not drawn over the program's screen.
void restore_terminal(const TerminalModes& modes) {
  if (!::isatty(STDOUT_FILENO)) return;
  std::string out = modes.reset();
  if (modes.placed()) {
    // The program drew on the main screen, maybe below the cursor: the
    // line goes below its last row.
    out += "\x1b[999H\r\n";
  } else if (!modes.at_line_start()) {
    out += "\r\n";
  }
  write_all(STDOUT_FILENO, out);
}

}  // namespace

int attach(quern_testkit::Client& client, const std::string& id, const std::vector<std::string>& argv,
           std::optional<unsigned char> detach_key) {
  std::signal(SIGPIPE, SIG_IGN);
  SelfPipe wake;

  msg::Attach request;
  request.id = msg::PtyId{id};
  std::tie(request.cols, request.rows) = window_size();
  request.drive = true;
  std::error_code ec;
  if (auto cwd = std::filesystem::current_path(ec); !ec) request.cwd = cwd.string();
  request.argv = argv;
  if (const char* term = std::getenv("TERM")) request.env["TERM"] = term;

  RawTerminal raw;
  TerminalModes modes;
  // The daemon answers one message at a time: its welcome to this second
  // hello comes after the attach's error, if the attach failed.
  for (const msg::Message& m : {msg::Message(request), msg::Message(msg::Hello{{1}})}) {
    if (auto sent = client.send(m); !sent) {
      raw.restore();
      Outcome o = lost(sent.error(), request.id, false);
      std::fprintf(stderr, "%s\n", o.line.c_str());
      return o.status;
    }
  }
  Outcome outcome = Session(client, request.id, raw, wake.read_end(), modes, detach_key).run();
  restore_terminal(modes);
  raw.restore();
  std::fprintf(stderr, "%s\n", outcome.line.c_str());
  return outcome.status;
}

}  // namespace quern_cli
