#include "supervisor.hpp"

#include "await.hpp"
#include "quern_session/child.hpp"
#include "quern_session/text.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <iterator>
#include <tuple>
#include <unordered_map>

namespace quernd::supervisor {
namespace {

namespace asio = boost::asio;
using quern_session::ErrorKind;
using quern_session::OsError;
using namespace std::chrono_literals;

// What the collecting side of a run found out; lives in run()'s frame.
struct Collected {
  std::string out;
  std::string err;
  std::optional<int> status;              // set once the child is reaped
  std::optional<OsError> read_error;      // an output could not be read; the child is unreaped
  std::optional<OsError> wait_error;      // waitpid failed; the child is not ours to reap
};

// Reads `in` to its end; an error other than the end is returned.
asio::awaitable<boost::system::error_code> read_to_end(asio::posix::stream_descriptor& in, std::string& into) {
  std::array<char, 16384> buf;
  for (;;) {
    auto [ec, n] = co_await in.async_read_some(asio::buffer(buf), use_tuple);
    into.append(buf.data(), n);
    if (ec == asio::error::eof) co_return boost::system::error_code{};
    if (ec) co_return ec;
  }
}

// Polls for the exit of `pid`, which follows closely once its outputs ended;
// returns early when cancelled.
asio::awaitable<void> wait_exit(pid_t pid, Collected& c) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  std::chrono::steady_clock::duration pause = 1ms;
  for (;;) {
    auto state = quern_session::child::try_wait(pid);
    if (!state) {
      c.wait_error = std::move(state.error());
      co_return;
    }
    if (*state) {
      c.status = **state;
      co_return;
    }
    timer.expires_after(pause);
    auto [ec] = co_await timer.async_wait(use_tuple);
    if (ec) co_return;
    pause = std::min<std::chrono::steady_clock::duration>(pause * 2, 20ms);
  }
}

asio::awaitable<void> collect(pid_t pid, asio::posix::stream_descriptor& out,
                              asio::posix::stream_descriptor& err, Collected& c) {
  using namespace asio::experimental::awaitable_operators;
  // Both outputs are read at once: a child blocked on a full stderr pipe
  // would never finish its stdout.
  auto [out_ec, err_ec] = co_await (read_to_end(out, c.out) && read_to_end(err, c.err));
  if (out_ec || err_ec) {
    c.read_error = OsError::from_errno(out_ec ? out_ec.value() : err_ec.value());
    co_return;
  }
  co_await wait_exit(pid, c);
}

// A signed 32-bit decimal: an optional sign, then ASCII digits only.
std::optional<std::int32_t> parse_i32(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::int64_t{1} << 31) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// The hang-up step: SIGHUP to the shell's group, then to the shell, while the
// shell is still the recorded process. Neither the daemon's lineage nor the
// groups of its lineage are hung up, nor groups 0 and 1.
void hang_up(const TreeRoot& root, std::int32_t own_pid) {
  const Lineage lineage = lineage_of(own_pid);
  if (!may_signal(root.shell_pid, root.shell_started_at, lineage)) return;
  if (root.pgid > 1 && !lineage.groups.contains(root.pgid)) ::killpg(root.pgid, SIGHUP);
  ::kill(root.shell_pid, SIGHUP);
}

// Ends with operation_aborted when the task is aborted.
asio::awaitable<void> pause_for(std::chrono::steady_clock::duration duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace

Lineage lineage_of(std::int32_t own_pid) {
  Lineage lineage;
  lineage.pids.insert(own_pid);
  for (std::int32_t pid = own_pid;;) {
    auto family = quern_session::procinfo::family(pid);
    if (!family) break;
    lineage.groups.insert(family->pgid);
    // A parent the system does not show is still protected.
    if (family->ppid == pid || !lineage.pids.insert(family->ppid).second) break;
    pid = family->ppid;
  }
  return lineage;
}

bool may_signal(std::int32_t pid, const std::optional<StartTime>& recorded, const Lineage& lineage) {
  // 0 and negative numbers would name a group or every process; 1 is init.
  // A signal to this one pid reaches no one else, whatever its group.
  if (pid <= 1 || !recorded || lineage.pids.contains(pid)) return false;
  return quern_session::procinfo::start_time(pid) == recorded;
}

asio::awaitable<std::expected<RunOutput, OsError>> run(std::string program,
                                                       std::vector<std::string> args,
                                                       std::chrono::steady_clock::duration limit,
                                                       std::shared_ptr<Abandoned> abandoned) {
  using namespace asio::experimental::awaitable_operators;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto ex = co_await asio::this_coro::executor;
  if (abandoned) abandoned->reap();

  using quern_session::child::Stdio;
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), std::make_move_iterator(args.begin()), std::make_move_iterator(args.end()));
  quern_session::child::Command command{.argv = std::move(argv),
                                        .stdio = {Stdio::Inherit, Stdio::Pipe, Stdio::Pipe}};
  auto spawned = quern_session::child::spawn(command);
  if (!spawned) co_return std::unexpected(std::move(spawned.error()));
  const pid_t pid = spawned->pid;

  auto give_up = [&](OsError error) -> std::expected<RunOutput, OsError> {
    if (abandoned) abandoned->hold(pid);
    return std::unexpected(std::move(error));
  };
  asio::posix::stream_descriptor out(ex), err(ex);
  auto handed_over = spawned->pipes[STDOUT_FILENO].hand_to(out);
  if (!handed_over) handed_over = spawned->pipes[STDERR_FILENO].hand_to(err);
  if (handed_over) co_return give_up(OsError::from_errno(handed_over.value()));

  Collected c;
  asio::steady_timer timer(ex, deadline);
  auto first = co_await (collect(pid, out, err, c) || timer.async_wait(use_tuple));

  // A reaped child decides, even when the deadline fired in the same turn.
  if (c.status) co_return RunOutput{*c.status, std::move(c.out), std::move(c.err)};
  if (c.wait_error) co_return std::unexpected(std::move(*c.wait_error));
  // Not reaped: the child is left alone. Closing our read ends discards
  // whatever it prints from now on.
  if (first.index() == 1) co_return give_up(OsError::custom(ErrorKind::TimedOut, "timed out"));
  co_return give_up(c.read_error.value_or(OsError::custom(ErrorKind::Other, "output lost")));
}

namespace ps {

asio::awaitable<std::optional<RunOutput>> read(std::string program, std::vector<std::string> args,
                                               std::shared_ptr<Abandoned> abandoned) {
  auto result = co_await run(std::move(program), std::move(args), READ_LIMIT, std::move(abandoned));
  if (!result) co_return std::nullopt;
  co_return std::move(*result);
}

asio::awaitable<std::optional<Snapshot>> snapshot(std::string tty, std::int32_t shim_pid,
                                                  std::shared_ptr<Abandoned> abandoned) {
  std::vector<std::string> ps_args{"-axo", "pid=,ppid=,pgid=,tty=,stat="};
  auto ps = co_await read("ps", std::move(ps_args), abandoned);
  // Only a normal exit with status 0 vouches for a whole table.
  if (!ps || ps->status != 0) co_return std::nullopt;
  Snapshot snap;
  snap.rows = parse_table(quern_session::text::utf8_lossy(ps->out));
  if (snap.rows.empty()) co_return std::nullopt;
  // Read after the table: a shim that runs with its recorded start time now
  // already ran with it when ps and lsof looked.
  auto shim_started = [&] { return shim_pid > 0 ? quern_session::procinfo::start_time(shim_pid) : std::nullopt; };
  if (tty.empty()) {
    snap.shim_started_at = shim_started();
    co_return snap;
  }

  std::vector<std::string> lsof_args{"-t", "/dev/" + tty};
  auto lsof = co_await read("lsof", std::move(lsof_args), abandoned);
  // lsof exits with 1 when nobody holds the file, so its status says nothing.
  if (!lsof) co_return std::nullopt;
  const std::string text = quern_session::text::utf8_lossy(lsof->out);
  for (std::string_view piece : quern_session::text::split_space(text)) {
    if (auto pid = parse_i32(piece)) snap.holders.push_back(*pid);
  }
  snap.shim_started_at = shim_started();
  co_return snap;
}

std::vector<Row> parse_table(std::string_view text) {
  std::vector<Row> rows;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);

    auto pieces = quern_session::text::split_space(line);
    if (pieces.size() < 5) continue;
    auto pid = parse_i32(pieces[0]);
    auto ppid = parse_i32(pieces[1]);
    auto pgid = parse_i32(pieces[2]);
    if (!pid || !ppid || !pgid) continue;
    rows.push_back(Row{*pid, *ppid, *pgid, std::string(pieces[3]), std::string(pieces[4])});
  }
  return rows;
}

std::vector<std::int32_t> targets(const Snapshot& snapshot, const TreeRoot& root,
                                  std::int32_t own_pid, std::set<std::int32_t>& known_pgids,
                                  bool shell_alive) {
  const std::vector<Row>& rows = snapshot.rows;
  // When two rows share a pid, the later one stands for it.
  std::unordered_map<std::int32_t, const Row*> by_pid;
  for (const Row& row : rows) by_pid[row.pid] = &row;
  auto row_of = [&](std::int32_t pid) -> const Row* {
    auto it = by_pid.find(pid);
    return it == by_pid.end() ? nullptr : it->second;
  };

  std::set<std::int32_t> protected_pids{own_pid, root.shim_pid, 0, 1};
  std::set<std::int32_t> protected_groups;

  // The daemon's lineage: every ancestor the table lists, and its group. The
  // walk goes on through ancestors that are protected anyway (the shim, pid
  // 1), so that their groups and the ancestors above them are covered too.
  std::set<std::int32_t> walked{own_pid};
  for (const Row* row = row_of(own_pid); row != nullptr;) {
    protected_groups.insert(row->pgid);
    std::int32_t parent = row->ppid;
    if (parent == row->pid) break;
    protected_pids.insert(parent);
    if (!walked.insert(parent).second) break;
    row = row_of(parent);
  }

  // The pid alone proves nothing: it may belong to another process by now.
  const bool shim_present = row_of(root.shim_pid) != nullptr && root.started_at &&
                            snapshot.shim_started_at == root.started_at;
  std::set<std::int32_t> chosen;

  // The shell and its descendants, only while the shell is the recorded one.
  if (shell_alive && row_of(root.shell_pid) != nullptr) {
    chosen.insert(root.shell_pid);
    std::vector<std::int32_t> stack{root.shell_pid};
    while (!stack.empty()) {
      std::int32_t parent = stack.back();
      stack.pop_back();
      for (const Row& row : rows) {
        if (row.ppid == parent && row.pid != parent && chosen.insert(row.pid).second) {
          stack.push_back(row.pid);
        }
      }
    }
  }

  // Known groups always; the terminal and its holders only while the shim is
  // still there to vouch that the terminal is the session's.
  const std::set<std::int32_t> holders(snapshot.holders.begin(), snapshot.holders.end());
  const bool terminal_rule = !root.tty.empty() && shim_present;
  for (const Row& row : rows) {
    if (known_pgids.contains(row.pgid) ||
        (terminal_rule && (row.tty == root.tty || holders.contains(row.pid)))) {
      chosen.insert(row.pid);
    }
  }

  std::vector<std::int32_t> result;  // ascending, as `chosen` is ordered
  for (std::int32_t pid : chosen) {
    const Row* row = row_of(pid);
    if (row->stat.starts_with('Z') || protected_pids.contains(pid) ||
        protected_groups.contains(row->pgid)) {
      continue;
    }
    result.push_back(pid);
  }
  for (std::int32_t pid : result) known_pgids.insert(row_of(pid)->pgid);
  return result;
}

asio::awaitable<KillOutcome> PsSupervisor::kill_tree(TreeRoot root) const {
  const std::shared_ptr<Abandoned> abandoned = abandoned_;
  const KillSchedule schedule = schedule_;
  const std::int32_t own_pid = ::getpid();
  // Only the very process the manifest recorded is taken for the shell.
  const auto shell_now = root.shell_started_at ? quern_session::procinfo::start_time(root.shell_pid)
                                               : std::nullopt;
  const bool shell_alive = shell_now && *shell_now == *root.shell_started_at;
  std::set<std::int32_t> known_pgids;
  if (shell_alive) known_pgids.insert(root.pgid);

  // The first look signals nothing; it only learns the groups it finds.
  if (auto first = co_await snapshot(root.tty, root.shim_pid, abandoned)) {
    targets(*first, root, own_pid, known_pgids, shell_alive);
  }

  if (shell_alive) hang_up(root, own_pid);
  co_await pause_for(schedule.hangup_pause);

  for (const auto wait : schedule.round_waits) {
    // A failed look signals nothing, but the round still waits.
    if (auto snap = co_await snapshot(root.tty, root.shim_pid, abandoned)) {
      const auto pids = targets(*snap, root, own_pid, known_pgids, shell_alive);
      if (pids.empty()) co_return Clean{};
      for (std::int32_t pid : pids) {
        if (pid > 0) ::kill(pid, SIGKILL);
      }
    }
    co_await pause_for(wait);
  }
  co_await pause_for(schedule.settle);

  auto last = co_await snapshot(root.tty, root.shim_pid, abandoned);
  if (!last) co_return Unknown{};
  auto left = targets(*last, root, own_pid, known_pgids, shell_alive);
  if (left.empty()) co_return Clean{};
  co_return Survivors{std::move(left)};
}

}  // namespace ps
}  // namespace quernd::supervisor
