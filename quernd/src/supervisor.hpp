// Ending a session's process tree: what the daemon knows of the tree, the
// supervisor interface, a helper that runs a command with a time limit, and
// the process snapshots and target choice that every round of a kill chain
// works from.
#pragma once

#include <sys/types.h>

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quern_session/child.hpp"
#include "quern_session/os_error.hpp"
#include "quern_session/procinfo.hpp"
#include "timings.hpp"

namespace quernd::supervisor {

using quern_session::procinfo::StartTime;

// A session's process tree as its manifest recorded it; a kill chain aims by
// its own copy alone.
struct TreeRoot {
  std::optional<StartTime> started_at;        // the shim's start time
  std::optional<StartTime> shell_started_at;  // the shell's, when recorded
  std::string tty;                            // device name under /dev, without "/dev/"; may be empty
  std::optional<std::string> cgroup;
  std::int32_t shell_pid = 0;
  std::int32_t pgid = 0;  // the shell's process group
  std::int32_t shim_pid = 0;
  friend bool operator==(const TreeRoot&, const TreeRoot&) = default;
};

// How kill_tree ended: a look found nothing left to signal, processes were
// still found after the last round, or the last look failed.
struct Clean {
  friend bool operator==(const Clean&, const Clean&) = default;
};
struct Survivors {
  std::vector<std::int32_t> pids;  // ascending
  friend bool operator==(const Survivors&, const Survivors&) = default;
};
struct Unknown {
  friend bool operator==(const Unknown&, const Unknown&) = default;
};
using KillOutcome = std::variant<Clean, Survivors, Unknown>;

// The daemon's lineage as the system reports it at the call: the daemon, each
// of its ancestors, and the process groups of all of them.
struct Lineage {
  std::set<std::int32_t> pids;
  std::set<std::int32_t> groups;
};
Lineage lineage_of(std::int32_t own_pid);

// Whether the one process `pid` may be signalled as the process recorded
// with the start time `recorded`: it is above 1, neither the daemon nor one
// of its ancestors, and runs now with exactly that start time (without one,
// it never may). Its group does not matter: only a signal to a whole group
// must spare the groups of `lineage`.
bool may_signal(std::int32_t pid, const std::optional<StartTime>& recorded, const Lineage& lineage);

// A platform's way of ending a session's process tree, as the daemon's
// record holds it. It reports no error: every failure inside ends in one of
// the outcomes.
using KillTree = std::function<boost::asio::awaitable<KillOutcome>(TreeRoot)>;

// Children whose run was given up before they were reaped. Nobody waits for
// them any more, so they are reaped here later, each by its own pid and
// without blocking; children held elsewhere are never touched.
using Abandoned = quern_session::child::Held;

// A finished run: the raw wait status and both outputs in full.
struct RunOutput {
  int status = 0;
  std::string out;
  std::string err;
};

// Runs `program`, found through PATH, with `args`, the daemon's environment,
// working directory and standard input; its standard output and error are
// captured. The child starts with SIGPIPE at its default action and with no
// descriptor but 0, 1 and 2. Waits, without blocking the thread, until it
// has exited and both outputs have ended, for at most `limit` from the call.
// A run past the limit fails with TimedOut and is left running unsignalled;
// its pid goes to `abandoned`, as does that of a child whose output could
// not be read.
boost::asio::awaitable<std::expected<RunOutput, quern_session::OsError>> run(
    std::string program, std::vector<std::string> args, std::chrono::steady_clock::duration limit,
    std::shared_ptr<Abandoned> abandoned);

// The ps and lsof runs below print the same on Linux (procps shows a pty as
// "pts/3", the name a Linux shim records), so this code serves there as well.
namespace ps {

// One line of the ps table, fields in the order of its columns.
struct Row {
  std::int32_t pid = 0;
  std::int32_t ppid = 0;
  std::int32_t pgid = 0;
  std::string tty;
  std::string stat;  // a leading 'Z' marks a zombie
  friend bool operator==(const Row&, const Row&) = default;
};

// One look at the machine for one session.
struct Snapshot {
  std::vector<Row> rows;               // in the order ps printed them; never empty
  std::vector<std::int32_t> holders;   // pids lsof printed for the terminal; empty without one
  // The start time of the session's shim pid, read after ps and lsof; none
  // when no process has that pid.
  std::optional<StartTime> shim_started_at = std::nullopt;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

inline constexpr std::chrono::seconds READ_LIMIT{5};

// run() with the 5-second limit; nothing when it fails in any way.
boost::asio::awaitable<std::optional<RunOutput>> read(std::string program,
                                                      std::vector<std::string> args,
                                                      std::shared_ptr<Abandoned> abandoned);

// The process table from `ps -axo pid=,ppid=,pgid=,tty=,stat=`, when `tty`
// is not empty the holders of /dev/{tty} from `lsof -t`, then the start time
// of `shim_pid`. Nothing when ps cannot run, does not exit with status 0 or
// prints no row, or when lsof is needed and cannot run; lsof's exit status
// is not consulted.
boost::asio::awaitable<std::optional<Snapshot>> snapshot(std::string tty, std::int32_t shim_pid,
                                                         std::shared_ptr<Abandoned> abandoned);

// The rows of ps output; lines that do not parse are skipped.
std::vector<Row> parse_table(std::string_view text);

// The pids to signal in one round, ascending, each once: the shell and its
// descendants when `shell_alive`, every process in a known group, and, while
// the shim is in the table with the start time its manifest recorded, every
// process on the terminal or holding it. The
// daemon, each of its ancestors, their groups, the shim, pids 0 and 1 and
// zombies are never returned. The groups of the returned pids are added to
// `known_pgids`.
std::vector<std::int32_t> targets(const Snapshot& snapshot, const TreeRoot& root,
                                  std::int32_t own_pid, std::set<std::int32_t>& known_pgids,
                                  bool shell_alive);

// The supervisor of this system, on Linux and macOS alike: it reads the
// process table through ps and lsof. Its state is the list that takes the ps and
// lsof runs it gave up on, and its schedule.
class PsSupervisor {
 public:
  PsSupervisor(std::shared_ptr<Abandoned> abandoned, const KillSchedule& schedule)
      : abandoned_(std::move(abandoned)), schedule_(schedule) {}

  // Ends the tree in escalating rounds of signals built on snapshot() and
  // targets(): a first look that signals nothing, SIGHUP to the shell's group
  // and the shell while the shell is the recorded process (never to the
  // daemon or its ancestors, nor to one of their groups), the schedule's
  // pause, four rounds of SIGKILL each followed by the schedule's wait for
  // it (a round with nothing left ends in Clean), then a last look after the
  // schedule's settling time.
  boost::asio::awaitable<KillOutcome> kill_tree(TreeRoot root) const;
  // kill_tree, as a KillTree calls it.
  boost::asio::awaitable<KillOutcome> operator()(TreeRoot root) const { return kill_tree(std::move(root)); }

 private:
  std::shared_ptr<Abandoned> abandoned_;
  KillSchedule schedule_;
};

}  // namespace ps
}  // namespace quernd::supervisor
