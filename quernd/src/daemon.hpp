// The daemon's shared record (the registry, the running kill chains and the
// process supervisor), the pid-file lock that makes a daemon the only one for
// its runtime directory, the start-up errors with their context chain, and
// the kill chain that ends one session's process tree in the background.
#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "quern_protocol/message.hpp"
#include "quern_session/os_error.hpp"
#include "quern_session/paths.hpp"
#include "registry.hpp"
#include "supervisor.hpp"
#include "task.hpp"
#include "wire.hpp"

namespace quernd::daemon {

namespace asio = boost::asio;
using quern_protocol::message::PtyId;
using quern_session::OsError;
using quern_session::paths::Runtime;
using Registry = quernd::registry::Registry;
using supervisor::KillOutcome;
using supervisor::TreeRoot;
using task::Task;

// Attempts at opening and locking a pid file that keeps being replaced.
inline constexpr int LOCK_ATTEMPTS = 8;
// How long shutdown waits for the kill chains, all of them together.
inline constexpr std::chrono::seconds DRAIN_LIMIT{8};

// An error of start-up: its own text and the texts of its causes, from the
// one just below it down to the innermost.
struct Failure {
  std::string text;
  std::vector<std::string> causes;

  // An operating-system error as it stands, without causes.
  static Failure os(const OsError& error) { return Failure{error.what(), {}}; }
  // This error wrapped in a context phrase: the phrase becomes the text and
  // this error's text and causes become the causes.
  Failure context(std::string phrase) const;

  friend bool operator==(const Failure&, const Failure&) = default;
};

// The report that ends a failed start-up: "Error: ", the text, and under
// "Caused by:" each cause, numbered when there are several. Ends in a newline.
std::string report(const Failure& failure);

// The pid file, held open under an exclusive advisory lock. Dropping it
// unlocks the file, then closes it; the file itself stays.
class PidLock {
 public:
  // Takes over `fd`, which the caller has locked.
  explicit PidLock(int fd) noexcept : fd_(fd) {}
  PidLock(PidLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  PidLock& operator=(PidLock&& other) noexcept;
  PidLock(const PidLock&) = delete;
  PidLock& operator=(const PidLock&) = delete;
  ~PidLock() { release(); }

  int native_handle() const noexcept { return fd_; }

 private:
  void release() noexcept;
  int fd_ = -1;
};

// Locks the open file `fd` (taken over in every case) without waiting and
// checks that `path` still names it. None when the path names no file or
// another file by now: the lock has been removed and the file closed, and
// the caller may open the path again. On an error the file has been closed.
std::expected<std::optional<PidLock>, Failure> lock_at(int fd, const std::filesystem::path& path);

// Opens the pid file at `path` (created with mode 0600 when missing, never
// truncated before it is locked), locks it and writes this process's pid
// into it, synced to the device. `before_lock`, when given, runs between each
// open and its lock, so that tests can replace the file at that moment.
std::expected<PidLock, Failure> lock_pid_file(const std::filesystem::path& path,
                                              const std::function<void()>& before_lock = {});

// The daemon socket's listener together with the pid lock.
struct Bound {
  asio::local::stream_protocol::acceptor listener;
  PidLock lock;
};

// Locks the runtime directory's pid file, then takes over the daemon socket
// when nothing answers on it: the stale file is removed, the listener bound
// (close-on-exec) and the file's mode set to 0600. On any failure a lock
// already taken has been released.
asio::awaitable<std::expected<Bound, Failure>> bind(Runtime runtime);

// Waits for the chains one after the other, at most DRAIN_LIMIT for all of
// them; when that runs out, the rest are left running and one line says so.
asio::awaitable<void> drain(std::vector<Task> chains);

// The line that reports a chain's outcome; none for a clean end.
std::optional<std::string> outcome_line(const PtyId& id, const KillOutcome& outcome);

// The daemon's one shared record. Kill chains run as tasks on `executor`,
// the daemon's event loop.
template <supervisor::ProcessSupervisor S>
class Daemon {
 public:
  Daemon(Registry registry, S supervisor, asio::any_io_executor executor)
      : registry(std::move(registry)), supervisor(std::move(supervisor)), executor(std::move(executor)) {}

  Registry registry;
  // Chains started and not yet found finished, in the order they started.
  std::vector<Task> kill_chains;
  S supervisor;
  asio::any_io_executor executor;

  std::expected<PidLock, Failure> lock_pid_file() const {
    return daemon::lock_pid_file(registry.runtime().daemon_pid_file());
  }

  asio::awaitable<std::expected<Bound, Failure>> bind() const { return daemon::bind(registry.runtime()); }

  // Starts a kill chain for the session and files its handle, dropping the
  // handles of chains that have finished. Never waits; the chain first runs
  // when the caller next waits.
  static void kill(const std::shared_ptr<Daemon>& self, PtyId id, TreeRoot root, bool discard);

  // Takes every chain recorded so far and waits for them, within DRAIN_LIMIT.
  asio::awaitable<void> drain() { return daemon::drain(std::exchange(kill_chains, {})); }
};

// One kill chain: opens the session without ever starting a shim and holds
// the connection while the supervisor ends the tree, reports survivors or a
// failed last look on stderr and, with `discard`, kills the shim and removes
// the session's files whatever the outcome.
template <supervisor::ProcessSupervisor S>
asio::awaitable<void> kill_chain(std::shared_ptr<Daemon<S>> daemon, PtyId id, TreeRoot root, bool discard) {
  // A shim that cannot be reached changes nothing: the tree is ended anyway.
  std::optional<wire::Connection> shim;
  if (auto opened = co_await daemon->registry.open(id, std::nullopt)) shim.emplace(std::move(*opened));

  const std::int32_t shim_pid = root.shim_pid;
  const auto shim_started_at = root.started_at;
  const KillOutcome outcome = co_await daemon->supervisor.kill_tree(std::move(root));
  shim.reset();

  if (auto line = outcome_line(id, outcome)) std::cerr << *line << std::flush;
  if (discard) daemon->registry.discard(id, shim_pid, shim_started_at);
}

template <supervisor::ProcessSupervisor S>
void Daemon<S>::kill(const std::shared_ptr<Daemon>& self, PtyId id, TreeRoot root, bool discard) {
  Task chain = Task::spawn(self->executor, kill_chain(self, std::move(id), std::move(root), discard));
  std::erase_if(self->kill_chains, [](const Task& t) { return t.finished(); });
  self->kill_chains.push_back(std::move(chain));
}

}  // namespace quernd::daemon
