// Support for driving the daemon end to end: a private directory, the daemon
// as a child process with its output captured, process checks, and a client
// that reads a session's output as the shim relays it.
#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

#include <gtest/gtest.h>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/manifest.hpp"
#include "quern_session/paths.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/env.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/output.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/socket.hpp"
#include "quern_testkit/client.hpp"

namespace quernd_e2e {

namespace fs = std::filesystem;
using quern_session::procinfo::StartTime;
using quern_testkit::Client;
using quern_testkit::ClientError;

using quern_test_support::dead_socket;
using quern_test_support::environment;
using quern_test_support::eventually;
using quern_test_support::must;
using quern_test_support::next_non_output;
using quern_test_support::OutputLog;
using quern_test_support::read_file;
using quern_test_support::read_until;
using quern_test_support::TempDir;
using quern_test_support::write_file;
// Starts `argv[0]` (a path) with exactly `env`, standard input on /dev/null
// and the outputs into `out` and `err`; in `dir` when given, and as the
// leader of a process group of its own when `own_group`.
pid_t spawn_logged(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& out,
                   const fs::path& err, const std::optional<fs::path>& dir, bool own_group);

// The daemon as a child of the test: stdin on /dev/null, stdout and stderr
// into files under `log_dir`, QUERN_RUNTIME_DIR set and QUERN_SESSION_BIN
// removed (so that the shim beside the daemon is the one started), then
// `env` ("NAME=value") added.
class DaemonProcess {
 public:
  DaemonProcess(const fs::path& runtime_root, const fs::path& log_dir, const std::vector<std::string>& args,
                const std::vector<std::string>& env = {});
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;
  // Stops the daemon if it still runs: SIGTERM, then SIGKILL.
  ~DaemonProcess();

  pid_t pid() const { return process_.pid(); }
  // The exit status (128 + n after signal n) once it has ended; none if it
  // still runs after `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout) { return process_.wait_exit(timeout); }
  bool exited();
  void signal(int sig);
  void stop();

  std::string stdout_text() const;
  std::string stderr_text() const;
  // The lines of standard error that the daemon itself wrote.
  std::vector<std::string> diagnostics() const;

 private:
  fs::path out_;
  fs::path err_;
  quern_test_support::Process process_;
};

// Whether the process `pid` runs and started at `started` (a zombie does not run).
bool runs(pid_t pid, const StartTime& started);
bool runs(pid_t pid, const std::optional<StartTime>& started);
// The parent of a running process; -1 when unknown.
pid_t parent_of(pid_t pid);

// A process started by the test (found on PATH), killed and reaped at the end.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();
  pid_t pid() const { return process_.pid(); }
  const StartTime& started() const { return started_; }
  // Kills and reaps it now.
  void end() { process_.end(); }

 private:
  quern_test_support::Process process_;
  StartTime started_;
};


// The frame of a message with an empty payload, as raw bytes.
std::string frame_of(const quern_protocol::message::Message& m);
// A frame header with the given words, then `body`.
std::string raw_frame(std::uint32_t total_len, std::uint32_t json_len, std::string_view body);

// Whether the peer has ended the connection: end of stream, or a reset, and
// no frame before it (output frames aside, when `after_output`).
::testing::AssertionResult ended(Client& c, std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                 bool after_output = false);

// The daemon's own fixture: a private runtime directory, daemons started on
// it, and every session process the test met killed at the end.
class E2eTest : public ::testing::Test {
 protected:
  TempDir dir;
  quern_session::paths::Runtime runtime{dir.path / "rt"};
  std::vector<std::unique_ptr<DaemonProcess>> daemons;
  std::vector<quern_session::manifest::Manifest> seen;  // every session manifest read
  std::vector<std::pair<pid_t, StartTime>> strays;      // processes started inside sessions

  void TearDown() override;

  // Starts a daemon without waiting for it.
  DaemonProcess& launch(const std::vector<std::string>& args = {"--no-data-plane"},
                        const std::vector<std::string>& env = {});
  // Starts a daemon and waits until it welcomes a client, which it does
  // only once its start-up sweep is done.
  DaemonProcess& start(const std::vector<std::string>& args = {"--no-data-plane"},
                       const std::vector<std::string>& env = {});
  // A connection to the daemon socket, retried while the daemon comes up.
  Client connect_raw(DaemonProcess& d, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // A connection that has been welcomed.
  Client connect(DaemonProcess& d);

  quern_protocol::message::Attach attach_request(const std::string& id, std::uint16_t cols = 80,
                                                 std::uint16_t rows = 24);
  // Attaches and reads up to the shell's first prompt.
  OutputLog attach(Client& c, const quern_protocol::message::Attach& request);
  OutputLog attach(Client& c, const std::string& id) { return attach(c, attach_request(id)); }
  void type(Client& c, const std::string& id, std::string_view text);

  // The session's manifest, once its shim has written it.
  quern_session::manifest::Manifest manifest_of(const std::string& id);
  // Starts a process from the session's shell that writes its pid into a
  // file and then sleeps; `detach` puts it in a session of its own (still
  // holding the terminal); returns its pid.
  pid_t start_sleeper(Client& c, const std::string& id, const std::string& name, bool detach);
  bool stray_runs(pid_t pid) const;
};

}  // namespace quernd_e2e
