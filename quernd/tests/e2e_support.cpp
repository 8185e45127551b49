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
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quern_protocol/packet.hpp"

using quern_session::manifest::Manifest;

extern char** environ;

namespace quernd_e2e {

namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& p, std::string_view text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + p.native());
}

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

std::optional<int> reap(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(10ms);
  }
}

}  // namespace

void must(std::expected<void, ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
}

std::vector<std::string> environment(const std::vector<std::string>& set, const std::vector<std::string>& unset) {
  auto named = [](std::string_view entry, std::string_view name) {
    return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
  };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view entry = *e;
    const bool replaced = std::ranges::any_of(set, [&](const std::string& s) {
      return named(entry, std::string_view(s).substr(0, s.find('=')));
    });
    const bool removed = std::ranges::any_of(unset, [&](const std::string& name) { return named(entry, name); });
    if (!replaced && !removed) env.emplace_back(entry);
  }
  env.insert(env.end(), set.begin(), set.end());
  return env;
}

pid_t spawn_logged(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& out,
                   const fs::path& err, const std::optional<fs::path>& dir, bool own_group) {
  std::vector<std::string> env_text = env;
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (dir) posix_spawn_file_actions_addchdir_np(&actions, dir->c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (own_group) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0].c_str(), &actions, &attr, argp.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("posix_spawn " + args[0] + ": " + std::strerror(rc));
  return pid;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/quern-e2e-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path, ec);
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
  pid_ = spawn_logged(argv, environment(set, {"QUERN_SESSION_BIN"}), out_, err_, log_dir, false);
}

DaemonProcess::~DaemonProcess() { stop(); }

std::optional<int> DaemonProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (!status_) status_ = reap(pid_, timeout);
  return status_;
}

bool DaemonProcess::exited() { return wait_exit(0ms).has_value(); }

void DaemonProcess::signal(int sig) {
  if (!exited()) ::kill(pid_, sig);
}

void DaemonProcess::stop() {
  if (exited()) return;
  ::kill(pid_, SIGTERM);
  if (wait_exit(10s)) return;
  ::kill(pid_, SIGKILL);
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

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

Child::Child(const std::vector<std::string>& argv_text) {
  std::vector<std::string> copy = argv_text;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("posix_spawnp " + copy[0] + ": " + std::strerror(rc));
  auto started = quern_session::procinfo::start_time(pid_);
  if (!started) {
    end();
    throw std::runtime_error("no start time for the child " + std::to_string(pid_));
  }
  started_ = *started;
}

Child::~Child() { end(); }

void Child::end() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void make_dead_socket(const fs::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    std::string why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("bind " + path.native() + ": " + why);
  }
  ::close(fd);
}

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

void OutputLog::add(const msg::Output& o, const quern_protocol::Bytes& payload) {
  EXPECT_EQ(o.id, id) << "output of another session";
  if (epoch) {
    EXPECT_EQ(o.epoch, *epoch);
  }
  if (!rejoin) {
    EXPECT_EQ(o.sequence, next) << "a gap or a repeat in the output";
  }
  epoch = o.epoch;
  next = o.sequence + payload.size();
  rejoin = false;
  text += payload.view();
}

void read_until(Client& c, OutputLog& log, std::string_view needle, std::chrono::milliseconds timeout) {
  std::size_t from = log.text.size();
  auto deadline = Clock::now() + timeout;
  while (log.text.find(needle, from) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto got = c.recv(std::max(left, 1ms));
    if (!got) {
      throw std::runtime_error("no \"" + std::string(needle) + "\" in the output (" + got.error().text +
                               "): " + log.text.substr(from));
    }
    const auto* out = got->message.get<msg::Output>();
    if (out == nullptr) throw std::runtime_error("expected output, got " + got->message.debug());
    log.add(*out, got->payload);
  }
}

msg::Message next_non_output(Client& c, OutputLog& log, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto p = must(c.recv(std::max(left, 1ms)), "waiting for a message");
    if (const auto* out = p.message.get<msg::Output>()) {
      log.add(*out, p.payload);
      continue;
    }
    return p.message;
  }
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
