#include "e2e_support.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "quern_protocol/packet.hpp"

using quern_session::manifest::Manifest;

namespace quernd_e2e {

namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The process's state letter from /proc/<pid>/stat; none when it is gone.
std::optional<char> state_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return std::nullopt;
  return line[close + 2];
}

// How spawn_logged starts a program.
quern_test_support::Spawn logged(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                 const fs::path& out, const fs::path& err, const std::optional<fs::path>& dir,
                                 bool own_group) {
  return {.argv = argv,
          .env = env,
          .opens = {{STDIN_FILENO, "/dev/null", O_RDONLY},
                    {STDOUT_FILENO, out, O_WRONLY | O_CREAT | O_TRUNC},
                    {STDERR_FILENO, err, O_WRONLY | O_CREAT | O_TRUNC}},
          .dir = dir,
          .own_group = own_group};
}

}  // namespace

pid_t spawn_logged(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& out,
                   const fs::path& err, const std::optional<fs::path>& dir, bool own_group) {
  return quern_test_support::spawn(logged(argv, env, out, err, dir, own_group));
}

DaemonProcess::DaemonProcess(const fs::path& runtime_root, const fs::path& log_dir,
                             const std::vector<std::string>& args, const std::vector<std::string>& extra_env) {
  static std::atomic<int> serial{0};
  std::string n = std::to_string(++serial);
  out_ = log_dir / ("daemon-" + n + ".out");
  err_ = log_dir / ("daemon-" + n + ".err");

  std::vector<std::string> set{"QUERN_RUNTIME_DIR=" + runtime_root.native()};
  set.insert(set.end(), extra_env.begin(), extra_env.end());
  std::vector<std::string> argv{QUERND_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  process_ = quern_test_support::Process(
      logged(argv, environment(set, {"QUERN_SESSION_BIN"}), out_, err_, log_dir, false));
}

DaemonProcess::~DaemonProcess() { stop(); }

bool DaemonProcess::exited() { return wait_exit(0ms).has_value(); }

void DaemonProcess::signal(int sig) {
  if (!exited()) ::kill(pid(), sig);
}

void DaemonProcess::stop() {
  if (exited()) return;
  ::kill(pid(), SIGTERM);
  if (wait_exit(10s)) return;
  ::kill(pid(), SIGKILL);
  wait_exit(10s);
}

std::string DaemonProcess::stdout_text() const { return read_file(out_); }
std::string DaemonProcess::stderr_text() const { return read_file(err_); }

std::vector<std::string> DaemonProcess::diagnostics() const {
  std::vector<std::string> lines;
  std::istringstream in(stderr_text());
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("quernd:")) lines.push_back(line);
  }
  return lines;
}

bool runs(pid_t pid, const StartTime& started) {
  if (pid <= 0 || quern_session::procinfo::start_time(pid) != started) return false;
  auto state = state_of(pid);
  return state && *state != 'Z' && *state != 'X';
}

bool runs(pid_t pid, const std::optional<StartTime>& started) { return started && runs(pid, *started); }

pid_t parent_of(pid_t pid) {
  auto family = quern_session::procinfo::family(pid);
  return family ? family->ppid : -1;
}

Child::Child(const std::vector<std::string>& argv)
    : process_({.argv = argv, .opens = {{STDIN_FILENO, "/dev/null", O_RDONLY}, {STDOUT_FILENO, "/dev/null", O_WRONLY}}}) {
  auto started = quern_session::procinfo::start_time(pid());
  if (!started) throw std::runtime_error("no start time for the child " + std::to_string(pid()));
  started_ = *started;
}

Child::~Child() = default;

std::string frame_of(const msg::Message& m) {
  auto f = quern_protocol::packet::Packet{m, quern_protocol::Bytes()}.encode_parts();
  if (!f) throw std::runtime_error("encode: " + f.error().what());
  return std::string(f->to_bytes().view());
}

std::string raw_frame(std::uint32_t total_len, std::uint32_t json_len, std::string_view body) {
  std::string out;
  for (std::uint32_t word : {total_len, json_len}) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((word >> shift) & 0xff));
  }
  out += body;
  return out;
}

::testing::AssertionResult ended(Client& c, std::chrono::milliseconds timeout, bool after_output) {
  auto got = c.recv(timeout);
  while (after_output && got && got->message.is<msg::Output>()) got = c.recv(timeout);
  if (got) return ::testing::AssertionFailure() << "a frame instead of the end: " << got->message.debug();
  switch (got.error().kind) {
    case ClientError::Kind::Closed:
      return ::testing::AssertionSuccess();
    case ClientError::Kind::Io:
      // Closing a unix socket with input still unread resets the peer.
      if (got.error().text.find("reset") != std::string::npos) return ::testing::AssertionSuccess();
      break;
    default:
      break;
  }
  return ::testing::AssertionFailure() << "the connection did not end: " << got.error().text;
}

void E2eTest::TearDown() {
  for (auto& d : daemons) d->stop();
  if (auto listed = Manifest::list(runtime)) {
    for (auto& m : listed->first) seen.push_back(m);
  }
  // Only what a manifest of this directory names, and only while it is
  // still the process the manifest recorded.
  for (const auto& m : seen) {
    if (runs(m.shim_pid, m.started_at)) ::kill(m.shim_pid, SIGKILL);
    if (runs(m.shell_pid, m.shell_started_at)) {
      ::killpg(m.pgid, SIGKILL);
      ::kill(m.shell_pid, SIGKILL);
    }
  }
  for (const auto& [pid, started] : strays) {
    if (runs(pid, started)) ::kill(pid, SIGKILL);
  }
}

DaemonProcess& E2eTest::launch(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  daemons.push_back(std::make_unique<DaemonProcess>(runtime.root, dir.path, args, env));
  return *daemons.back();
}

DaemonProcess& E2eTest::start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  DaemonProcess& d = launch(args, env);
  connect(d);
  return d;
}

Client E2eTest::connect_raw(DaemonProcess& d, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    auto c = Client::connect(runtime.daemon_socket());
    if (c) return std::move(*c);
    if (d.exited()) throw std::runtime_error("the daemon ended before serving: " + d.stderr_text());
    if (Clock::now() >= deadline) throw std::runtime_error("daemon socket: " + c.error().text);
    std::this_thread::sleep_for(20ms);
  }
}

Client E2eTest::connect(DaemonProcess& d) {
  Client c = connect_raw(d);
  must(c.send(msg::Hello{{1}}), "hello");
  auto reply = must(c.recv(10s), "welcome");
  if (reply.message != msg::Message(msg::Welcome{1})) {
    throw std::runtime_error("expected a welcome, got " + reply.message.debug());
  }
  return c;
}

msg::Attach E2eTest::attach_request(const std::string& id, std::uint16_t cols, std::uint16_t rows) {
  return msg::Attach{msg::PtyId{id}, cols, rows, std::nullopt, true, dir.path.native(), {"/bin/sh"},
                     {{"PS1", "prompt> "}}};
}

OutputLog E2eTest::attach(Client& c, const msg::Attach& request) {
  must(c.send(request), "attach");
  OutputLog log{request.id};
  read_until(c, log, "prompt> ");
  return log;
}

void E2eTest::type(Client& c, const std::string& id, std::string_view text) {
  must(c.send(msg::Write{msg::PtyId{id}}, quern_protocol::Bytes::copy_from(text)), "write");
}

Manifest E2eTest::manifest_of(const std::string& id) {
  std::optional<Manifest> m;
  eventually(
      [&] {
        auto r = Manifest::read(runtime.session_manifest(msg::PtyId{id}));
        if (r) m = std::move(*r);
        return m.has_value();
      },
      5s);
  if (!m) throw std::runtime_error("no manifest for " + id);
  seen.push_back(*m);
  return *m;
}

pid_t E2eTest::start_sleeper(Client& c, const std::string& id, const std::string& name, bool detach) {
  fs::path file = dir.path / (name + ".pid");
  std::string line = std::string(detach ? "setsid " : "") + "sh -c 'echo $$ > " + file.native() + ".tmp && mv " +
                     file.native() + ".tmp " + file.native() + "; exec sleep 300' &\n";
  type(c, id, line);
  pid_t pid = 0;
  eventually(
      [&] {
        std::string text = read_file(file);
        if (text.empty() || text.back() != '\n') return false;
        pid = static_cast<pid_t>(std::stol(text));
        return true;
      },
      10s);
  if (pid <= 0) throw std::runtime_error("no pid from " + name);
  auto started = quern_session::procinfo::start_time(pid);
  if (!started) throw std::runtime_error(name + " is not running");
  strays.emplace_back(pid, *started);
  return pid;
}

bool E2eTest::stray_runs(pid_t pid) const {
  auto it = std::ranges::find_if(strays, [&](const auto& s) { return s.first == pid; });
  return it != strays.end() && runs(pid, it->second);
}

}  // namespace quernd_e2e
