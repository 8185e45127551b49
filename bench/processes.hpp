// The processes of a benchmark run: starting the daemon and shims, and
// ending them again.
#pragma once

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
