// The processes of a benchmark run: starting the daemon, shims and helpers,
// and ending them again.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "quern_session/paths.hpp"

namespace quern_bench {

using Env = std::vector<std::pair<std::string, std::string>>;

// Starts argv[0] with this process's environment plus `env` (replacing
// inherited values), no signal blocked and SIGPIPE at its default action.
// A descriptor of -1 leaves that stream as it is. Throws std::runtime_error
// on failure.
pid_t spawn(const std::vector<std::string>& argv, const Env& env, int stdin_fd = -1, int stdout_fd = -1);

// A child that reports one line on its standard output, then runs until its
// standard input closes (or it is stopped).
struct Helper {
  pid_t pid = -1;
  int input = -1;    // the write end of its standard input
  std::string line;  // what it reported
};

// Starts a Helper and reads its line within `limit`; throws when it does
// not report in time (and stops it).
Helper spawn_helper(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// Closes its standard input, waits `grace` for it to end, then stops it.
void end_helper(Helper& h, std::chrono::milliseconds grace);

// Starts quernd (`bin` with `args`) on `runtime` with `shim` as the session
// binary, and waits up to 10 s until it listens on its unix socket and has
// written its data plane's endpoint file. `started` holds its pid from the
// moment it runs, for a signal to end it.
pid_t start_daemon(const std::filesystem::path& bin, const std::filesystem::path& shim,
                   const quern_session::paths::Runtime& runtime, const std::vector<std::string>& args,
                   std::atomic<pid_t>& started);

// Processes an interrupt must end besides the daemon and shims: each is
// tracked while it runs, and terminate_tracked sends SIGTERM to all of them.
void track(pid_t pid);
void untrack(pid_t pid);
void terminate_tracked();

// `name` as found on PATH; empty when it is not there.
std::filesystem::path on_path(const std::string& name);

// Reaps the child within `limit`; false when it is still running.
bool reap(pid_t pid, std::chrono::milliseconds limit);

// SIGTERM, then SIGKILL when it has not ended within `grace`; always reaped.
void stop_child(pid_t pid, std::chrono::milliseconds grace);

// Starts a shim the way the daemon does: `--id <id>`, QUERN_RUNTIME_DIR, the
// launch record on standard input, then one report line, which must be "ok".
pid_t launch_shim(const std::filesystem::path& bin, const quern_session::paths::Runtime& runtime,
                  const std::string& id, const std::string& launch);

// The shims recorded in the runtime directory's manifests that are still
// the processes that wrote them.
std::vector<pid_t> live_shims(const quern_session::paths::Runtime& runtime);

// Ends those shims: SIGTERM, then SIGKILL for any still there after `grace`.
void stop_shims(const quern_session::paths::Runtime& runtime, std::chrono::milliseconds grace);

}  // namespace quern_bench
