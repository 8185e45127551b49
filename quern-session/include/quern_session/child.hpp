// Child processes: starting one with chosen standard streams and nothing
// else inherited, and collecting the ones this process holds, each by its
// own pid.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "quern_session/fd.hpp"
#include "quern_session/os_error.hpp"

namespace quern_session::child {

// What one of the child's standard descriptors (0, 1, 2) is.
enum class Stdio : std::uint8_t {
  Inherit,  // this process's descriptor of that number, as it is
  Null,     // /dev/null: read from for 0, written to for 1 and 2
  Pipe,     // a new pipe; the caller gets the other end
};

struct Command {
  std::vector<std::string> argv;  // argv[0] names the program
  // argv[0] is looked up in PATH as execvp does; otherwise it is a path.
  bool search_path = true;
  // The child's environment, "NAME=value" each; none: this process's own.
  std::optional<std::vector<std::string>> env = std::nullopt;
  std::array<Stdio, 3> stdio{Stdio::Inherit, Stdio::Inherit, Stdio::Inherit};
};

struct Pipe {
  Fd read;
  Fd write;
};

// A pipe whose ends are close-on-exec and above 2, so that setting up a
// child's standard streams cannot overwrite one of them.
std::expected<Pipe, OsError> make_pipe();

struct Spawned {
  pid_t pid = -1;
  // This process's end of each piped stream, by the child's descriptor
  // number: the write end for 0, the read end for 1 and 2. Close-on-exec;
  // empty for the streams that are not piped.
  std::array<Fd, 3> pipes;
};

// Starts `command`. The child has SIGPIPE at its default action (this
// process may ignore it), no signal blocked, and no descriptor but 0, 1 and
// 2. The child is the caller's to reap; every failure, the program not
// being found included, comes back as an error and leaves no child.
std::expected<Spawned, OsError> spawn(const Command& command);

// The wait status of the child `pid` once it has exited, collecting it, or
// none while it runs; an error when it cannot be asked about (no child of
// this process, or a pid that is not above 0).
std::expected<std::optional<int>, OsError> try_wait(pid_t pid);

// Waits until the child `pid` has exited and collects it: its wait status.
std::expected<int, OsError> wait(pid_t pid);

// Children that nobody waits for any more. They are collected here, each by
// its own pid and without blocking, so the exit status of a child held
// elsewhere is never taken.
class Held {
 public:
  void hold(pid_t pid) { pids_.push_back(pid); }
  // Drops every held child that has exited, collecting it, and every one that
  // cannot be asked about; returns how many are still held.
  std::size_t reap();
  // Drops every held child that has exited, collecting it; returns how many
  // are still held. The held children are asked about one by one only when
  // an exited child held elsewhere is in the way, so with none exited this
  // costs one system call however many are held.
  std::size_t collect();
  // In the order they were taken.
  const std::vector<pid_t>& pids() const { return pids_; }

 private:
  std::vector<pid_t> pids_;
};

}  // namespace quern_session::child
