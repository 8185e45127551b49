// quern-session: hosts one terminal session. Started as `quern-session --id
// <id>` with the client's attach on standard input; reports "ok" (or "err:
// bind" when another shim serves the id, or an error text) on one line of
// standard output, then serves the session socket until the program ends.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "listener.hpp"
#include "manifest_file.hpp"
#include "program.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/paths.hpp"
#include "quern_session/procinfo.hpp"
#include "session.hpp"

namespace msg = quern_protocol::message;
using quern_shim::LaunchPlan;

namespace {

int g_child_signal_write = -1;

void on_child_signal(int) {
  int saved = errno;
  (void)!::write(g_child_signal_write, "c", 1);
  errno = saved;
}

// A pipe that becomes readable whenever a child ends; returns its read end.
int child_signal_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  g_child_signal_write = fds[1];
  struct sigaction sa {};
  sa.sa_handler = on_child_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  if (::sigaction(SIGCHLD, &sa, nullptr) != 0) return -1;
  return fds[0];
}

// The one report line; standard output then points at /dev/null, so nothing
// written later can reach the daemon's pipe or a reused descriptor.
void report(std::string line) {
  for (char& ch : line) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  line += '\n';
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
}

std::string read_stdin() {
  std::string out;
  char buf[4096];
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::close(null);
  }
  return out;
}

// Names the session in its program's environment.
constexpr const char* kSessionVariable = "QUERN_SESSION";

bool holds_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// The program to start, from the launch record: its argv, else $SHELL (the
// record's env first), else /bin/sh.
std::expected<LaunchPlan, std::string> launch_plan(std::string_view record, const msg::PtyId& id) {
  auto decoded = msg::Message::deserialize(record);
  if (!decoded) return std::unexpected("launch record: " + decoded.error().text);
  const auto* attach = decoded->get<msg::Attach>();
  if (attach == nullptr) return std::unexpected("launch record is " + std::string(decoded->tag()) + ", not attach");
  if (attach->id != id) return std::unexpected("launch record is for another pty");

  LaunchPlan plan{attach->argv, attach->cwd, attach->env, attach->cols, attach->rows};
  if (plan.argv.empty()) {
    auto from_record = plan.env.find("SHELL");
    const char* inherited = std::getenv("SHELL");
    std::string shell = from_record != plan.env.end() ? from_record->second : inherited ? inherited : "";
    plan.argv.push_back(shell.empty() ? "/bin/sh" : shell);
  }
  // C strings end at NUL, which JSON text may hold; '=' cannot be in a name.
  for (const auto& a : plan.argv) {
    if (holds_nul(a)) return std::unexpected("launch record: argv holds a NUL byte");
  }
  if (plan.cwd && holds_nul(*plan.cwd)) return std::unexpected("launch record: cwd holds a NUL byte");
  for (const auto& [name, value] : plan.env) {
    if (name.empty() || name.find('=') != std::string::npos || holds_nul(name) || holds_nul(value)) {
      return std::unexpected("launch record: bad env name \"" + name + "\"");
    }
  }
  // The program learns which session it runs in (a client inside it refuses
  // to attach to it); an id holding NUL cannot be said, and nothing else may
  // be said in its place.
  ::unsetenv(kSessionVariable);
  plan.env.erase(kSessionVariable);
  if (!holds_nul(id.text)) plan.env[kSessionVariable] = id.text;
  return plan;
}

std::uint64_t wall_clock_micros() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  if (argc != 3 || std::string_view(argv[1]) != "--id") {
    report("usage: quern-session --id <id>");
    return 2;
  }
  const msg::PtyId id{argv[2]};
  // A session of its own: the shim outlives the daemon and its terminal.
  ::setsid();

  auto plan = launch_plan(read_stdin(), id);
  if (!plan) {
    report(plan.error());
    return 1;
  }

  auto runtime = quern_session::paths::Runtime::from_env();
  if (auto ensured = runtime.ensure(); !ensured) {
    report("runtime dir: " + ensured.error().what());
    return 1;
  }
  const auto socket = runtime.session_socket(id);
  const auto manifest = runtime.session_manifest(id);

  auto listener = quern_shim::bind_session_socket(socket);
  if (!listener) {
    report(listener.error().taken ? "err: bind: " + listener.error().text : listener.error().text);
    return 1;
  }
  int child_signal = child_signal_pipe();
  if (child_signal < 0) {
    ::unlink(socket.c_str());
    report("SIGCHLD pipe: " + std::string(std::strerror(errno)));
    return 1;
  }

  auto program = quern_shim::Program::start(*plan);
  if (!program) {
    ::unlink(socket.c_str());
    report(program.error());
    return 1;
  }

  auto started_at = quern_session::procinfo::start_time(::getpid());
  if (!started_at) {
    ::unlink(socket.c_str());
    report("cannot read the shim's start time");
    return 1;  // the program is hung up as the pty closes
  }
  pid_t pgid = ::getpgid(program->pid());
  quern_session::manifest::Manifest record{
      .id = id,
      .shim_pid = ::getpid(),
      .shell_pid = program->pid(),
      .pgid = pgid > 0 ? pgid : program->pid(),
      .tty = program->tty(),
      .socket = socket,
      .started_at = *started_at,
      .boot_id = quern_session::procinfo::boot_id().value_or(""),
      .shell_started_at = quern_session::procinfo::start_time(program->pid()),
      .cgroup = std::nullopt,
  };
  if (auto written = quern_shim::write_manifest(manifest, record); !written) {
    ::unlink(socket.c_str());
    report(written.error());
    return 1;
  }
  report("ok");

  quern_shim::Session session(
      quern_shim::SessionSetup{id, wall_clock_micros(), *listener, child_signal, socket, manifest}, *program);
  session.run();
  return 0;
}
