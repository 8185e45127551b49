#include "registry.hpp"

#include "await.hpp"
#include "quern_protocol/control.hpp"
#include "quern_protocol/utf8.hpp"
#include "quern_session/child.hpp"
#include "quern_session/fd.hpp"
#include "quern_session/text.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

extern char** environ;

namespace quernd::registry {

namespace asio = boost::asio;
namespace msg = quern_protocol::message;
using asio::experimental::awaitable_operators::operator||;
using quern_session::ErrorKind;

namespace {

// ---- probe ----

// A full backlog is the only way a unix-domain connect can pend; the
// attempt is repeated at this pace until the listener makes room.
constexpr std::chrono::milliseconds BACKLOG_RETRY{10};

// ---- report line ----

bool report_is_success(std::string_view line) {
  return line == "ok" || line.starts_with("err: bind");
}

// ---- spawning ----

using quern_session::Fd;

// The shim program: QUERN_SESSION_BIN whenever it is set, else
// "quern-session" beside this executable.
std::expected<std::filesystem::path, OsError> shim_program() {
  if (const char* bin = std::getenv("QUERN_SESSION_BIN")) return std::filesystem::path(bin);
  std::string exe(256, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
    if (n < 0) return std::unexpected(OsError::last());
    if (static_cast<std::size_t>(n) < exe.size()) {
      exe.resize(static_cast<std::size_t>(n));
      break;
    }
    exe.resize(exe.size() * 2);
  }
  return std::filesystem::path(exe).replace_filename("quern-session");
}

// This process's environment with QUERN_RUNTIME_DIR set to `root`.
std::vector<std::string> shim_environment(const std::filesystem::path& root) {
  constexpr std::string_view KEY = "QUERN_RUNTIME_DIR=";
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (!std::string_view(*e).starts_with(KEY)) env.emplace_back(*e);
  env.push_back(std::string(KEY) + root.native());
  return env;
}

// Starts `program --id {id}` with its standard input and output piped; its
// standard error stays this process's own.
std::expected<quern_session::child::Spawned, OsError> start(const std::filesystem::path& program,
                                                          const PtyId& id,
                                                          const std::filesystem::path& runtime_root) {
  using quern_session::child::Stdio;
  quern_session::child::Command command{
      .argv = {program.native(), "--id", id.text},
      .search_path = false,
      .env = shim_environment(runtime_root),
      .stdio = {Stdio::Pipe, Stdio::Pipe, Stdio::Inherit},
  };
  return quern_session::child::spawn(command);
}

// Whether `recorded` names the daemon's own socket: the same path, or
// another name of the same file.
bool is_own_socket(const std::filesystem::path& recorded, const std::filesystem::path& own) {
  if (recorded == own) return true;
  struct stat a, b;
  return ::stat(recorded.c_str(), &a) == 0 && ::stat(own.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// Probes a manifest's recorded socket. The daemon's own socket is never
// probed: greeting it would have the daemon ask itself, without end.
asio::awaitable<Probe> probe_recorded(std::filesystem::path recorded, std::filesystem::path own, Duration limit) {
  if (is_own_socket(recorded, own))
    co_return Probe{Probe::Failed{OsError::custom(ErrorKind::Other, "the daemon's own socket")}};
  co_return co_await probe(std::move(recorded), limit);
}

// An open, or a start of a shim, that fails with `error`, one of the kinds
// of OpenError.
template <class Kind>
std::unexpected<OpenError> failure(Kind error) {
  return std::unexpected(OpenError{std::move(error)});
}

asio::awaitable<std::expected<wire::Connection, OpenError>> greet(
    asio::local::stream_protocol::socket stream, Duration reply_limit) {
  auto greeted = co_await wire::hello(std::move(stream), reply_limit);
  if (!greeted) co_return failure(OpenError::Wire{std::move(greeted.error())});
  co_return std::move(*greeted);
}

// What a probe of the session's socket settles for `open`: a live socket is
// greeted, a failed probe leaves the session undecided. None when nothing
// listens, which leaves it to the caller.
asio::awaitable<std::optional<std::expected<wire::Connection, OpenError>>> settled_by(Probe probed,
                                                                                     Duration reply_limit) {
  if (auto* live = std::get_if<Probe::Live>(&probed.value))
    co_return co_await greet(std::move(live->stream), reply_limit);
  if (auto* failed = std::get_if<Probe::Failed>(&probed.value))
    co_return failure(OpenError::Indeterminate{std::move(failed->error)});
  co_return std::nullopt;
}

// What a session's socket is known to be when its files are judged.
enum class Socket : std::uint8_t {
  Unprobed,  // not asked yet: only files of another boot can be told gone
  Dead,      // nothing listens on it
};

// The one rule for a session's files: when the shim that wrote its manifest
// is gone (stale, with nothing listening on the socket, or of another boot),
// the socket and manifest of `id` are removed. Gives the verdict.
Ownership clear_if_gone(const Registry& registry, const PtyId& id, const Manifest& m, Socket socket) {
  const Ownership verdict = registry.ownership(m);
  const bool gone = verdict == Ownership::OtherBoot || (verdict == Ownership::Stale && socket == Socket::Dead);
  if (gone) registry.unlink(id);
  return verdict;
}

}  // namespace

asio::awaitable<Probe> probe(std::filesystem::path path, Duration limit) {
  auto executor = co_await asio::this_coro::executor;
  const auto deadline = std::chrono::steady_clock::now() + limit;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& p = path.native();
  if (p.size() >= sizeof addr.sun_path)
    co_return Probe{Probe::Failed{OsError::from_errno(ENAMETOOLONG)}};
  std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
  const auto* sa = reinterpret_cast<const sockaddr*>(&addr);

  asio::steady_timer pause(executor);
  for (;;) {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) co_return Probe{Probe::Failed{OsError::last()}};
    if (::connect(fd.get(), sa, sizeof addr) == 0) {
      asio::local::stream_protocol::socket stream(executor);
      boost::system::error_code ec;
      stream.assign(asio::local::stream_protocol(), fd.get(), ec);
      // The event loop could not take the connection: it closes with `fd`.
      if (ec) co_return Probe{Probe::Failed{OsError::from_error_code(ec)}};
      fd.release();
      co_return Probe{Probe::Live{std::move(stream)}};
    }
    int err = errno;
    if (err == ENOENT || err == ECONNREFUSED) co_return Probe{Probe::Dead{}};
    if (err != EAGAIN) co_return Probe{Probe::Failed{OsError::from_errno(err)}};
    // The listener's backlog is full: the connect has not finished yet.
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
      co_return Probe{Probe::Failed{OsError::custom(ErrorKind::TimedOut, "connect timed out")}};
    pause.expires_at(std::min(now + BACKLOG_RETRY, deadline));
    auto [ec] = co_await pause.async_wait(use_tuple);
    if (ec) co_return Probe{Probe::Failed{OsError::from_error_code(ec)}};
  }
}

std::string OpenError::what() const {
  struct Visitor {
    std::string operator()(const NoSuchPty&) const { return "no such pty"; }
    std::string operator()(const Unresponsive& e) const {
      return "pty's shim (pid " + std::to_string(e.shim_pid) +
             ") is alive but its socket does not answer";
    }
    std::string operator()(const Indeterminate& e) const {
      return "cannot tell whether the pty is alive: " + e.error.what();
    }
    std::string operator()(const Spawn& e) const { return "spawning the shim: " + e.text; }
    std::string operator()(const Wire& e) const { return e.error.what(); }
    std::string operator()(const Io& e) const { return e.error.what(); }
  };
  return std::visit(Visitor{}, value);
}

Registry::Registry(Runtime runtime, reaper::Children children, const Timings& timings)
    : Registry(std::move(runtime), quern_session::procinfo::boot_id(), std::move(children), timings) {}

Registry::Registry(Runtime runtime, std::optional<std::string> boot_id, reaper::Children children,
                   const Timings& timings)
    : runtime_(std::move(runtime)),
      boot_id_(std::move(boot_id)),
      children_(std::move(children)),
      probe_limit_(timings.probe),
      reply_limit_(timings.reply),
      report_limit_(timings.report) {}

std::optional<Manifest> Registry::manifest(const PtyId& id) const {
  auto read = Manifest::read(runtime_.session_manifest(id));
  if (!read) return std::nullopt;
  return std::move(*read);
}

Ownership Registry::ownership(const Manifest& m) const {
  if (!boot_id_ || m.boot_id.empty()) return Ownership::NoBootId;
  // Decided before any process is looked up: a pid of another boot means nothing here.
  if (m.boot_id != *boot_id_) return Ownership::OtherBoot;
  auto started = quern_session::procinfo::start_time(m.shim_pid);
  return started && *started == m.started_at ? Ownership::Alive : Ownership::Stale;
}

TreeRoot Registry::root_of(const Manifest& m) {
  return TreeRoot{
      .started_at = m.started_at,
      .shell_started_at = m.shell_started_at,
      .tty = m.tty,
      .cgroup = m.cgroup,
      .shell_pid = m.shell_pid,
      .pgid = m.pgid,
      .shim_pid = m.shim_pid,
  };
}

void Registry::unlink(const PtyId& id) const {
  std::error_code ignored;
  std::filesystem::remove(runtime_.session_socket(id), ignored);
  std::filesystem::remove(runtime_.session_manifest(id), ignored);
}

void Registry::discard(const PtyId& id, std::int32_t shim_pid,
                       const std::optional<StartTime>& shim_started_at) const {
  // Some time has passed since the shim was judged alive: its pid may belong
  // to another process by now. A manifest may also name the daemon or one of
  // its ancestors, which are never signalled.
  if (!supervisor::may_signal(shim_pid, shim_started_at, supervisor::lineage_of(::getpid()))) return;
  // A shim left running keeps its files, so that it can still be found.
  if (::kill(shim_pid, SIGKILL) != 0) return;
  unlink(id);
}

asio::awaitable<std::vector<std::pair<PtyId, TreeRoot>>> Registry::sweep() const {
  std::vector<std::pair<PtyId, TreeRoot>> handed_back;
  auto listed = Manifest::list(runtime_);
  if (!listed) co_return handed_back;
  auto& [manifests, unreadable] = *listed;

  // Only the manifest file goes; a socket of the same session stays.
  for (const auto& path : unreadable) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  for (const auto& m : manifests) {
    // Files of another boot go before any probe, whatever answers there.
    const auto verdict = clear_if_gone(*this, m.id, m, Socket::Unprobed);
    if (verdict != Ownership::Alive && verdict != Ownership::Stale) continue;
    // An answering socket is left alone whatever the verdict; its connection
    // closes here without a frame.
    auto probed = co_await probe_recorded(m.socket, runtime_.daemon_socket(), probe_limit_);
    if (!probed.is<Probe::Dead>()) continue;
    // Judged again: the shim may have ended while the probe ran.
    if (clear_if_gone(*this, m.id, m, Socket::Dead) == Ownership::Alive)
      handed_back.emplace_back(m.id, root_of(m));
  }
  co_return handed_back;
}

asio::awaitable<std::expected<wire::Connection, OpenError>> Registry::open(
    PtyId id, std::optional<quern_protocol::Bytes> launch) const {
  const auto socket = runtime_.session_socket(id);
  if (auto settled = co_await settled_by(co_await probe(socket, probe_limit_), reply_limit_)) co_return std::move(*settled);

  // Nothing listens: judge the session's files.
  if (auto m = manifest(id)) {
    switch (clear_if_gone(*this, id, *m, Socket::Dead)) {
      case Ownership::Stale:
      case Ownership::OtherBoot:
        break;
      case Ownership::Alive:
        co_return failure(OpenError::Unresponsive{m->shim_pid});
      case Ownership::NoBootId:
        co_return failure(OpenError::Indeterminate{OsError::custom(
            ErrorKind::Other, "no boot id to tell the pty's shim from a stranger")});
    }
  } else {
    // A socket file without a readable manifest is left over; so is an
    // unreadable manifest beside it.
    struct stat st;
    if (::stat(socket.c_str(), &st) == 0) unlink(id);
  }

  if (!launch) co_return failure(OpenError::NoSuchPty{});
  if (auto spawned = co_await spawn_shim(id, std::move(*launch)); !spawned)
    co_return std::unexpected(std::move(spawned.error()));

  asio::steady_timer pause(co_await asio::this_coro::executor);
  for (int i = 0; i < SPAWN_PROBES; ++i) {
    if (auto settled = co_await settled_by(co_await probe(socket, probe_limit_), reply_limit_)) co_return std::move(*settled);
    pause.expires_after(SPAWN_PROBE_PAUSE);
    co_await pause.async_wait(use_tuple);
  }
  co_return failure(OpenError::NoSuchPty{});
}

asio::awaitable<std::expected<void, OpenError>> Registry::spawn_shim(
    PtyId id, quern_protocol::Bytes launch) const {
  auto program = shim_program();
  if (!program) co_return failure(OpenError::Io{std::move(program.error())});
  auto cannot_start = [&](const std::string& why) {
    return failure(OpenError::Spawn{program->native() + ": " + why});
  };

  auto spawned = start(*program, id, runtime_.root);
  if (!spawned) co_return cannot_start(spawned.error().what());

  // From here on the shim is the reaper's, and it runs on whatever fails below.
  children_.hold(spawned->pid);
  auto executor = co_await asio::this_coro::executor;
  asio::posix::stream_descriptor to_shim(executor), from_shim(executor);
  auto handed_over = spawned->pipes[STDIN_FILENO].hand_to(to_shim);
  if (!handed_over) handed_over = spawned->pipes[STDOUT_FILENO].hand_to(from_shim);
  if (handed_over) co_return failure(OpenError::Io{OsError::from_error_code(handed_over)});

  // The record goes as it is: no newline, length or framing. A shim that
  // does not read it is given as long as for its report.
  {
    asio::steady_timer limit(executor, report_limit_);
    auto handed = co_await (
        asio::async_write(to_shim, asio::buffer(launch.data(), launch.size()), use_tuple) ||
        limit.async_wait(use_tuple));
    // The descriptor is released whatever close reports.
    boost::system::error_code ignored;
    to_shim.close(ignored);
    std::string why;
    if (handed.index() == 1) {
      why = "write timed out";
    } else if (auto [write_error, written] = std::get<0>(handed); write_error) {
      why = OsError::from_error_code(write_error).what();
    }
    if (!why.empty()) co_return failure(OpenError::Spawn{"handing the shim its launch: " + why});
  }

  std::string line;
  asio::steady_timer limit(executor, report_limit_);
  // The buffer stops at the limit: a line that does not end by then fails.
  auto first = co_await (
      asio::async_read_until(from_shim, asio::dynamic_buffer(line, REPORT_LINE_LIMIT), '\n', use_tuple) ||
      limit.async_wait(use_tuple));
  // Whatever the shim writes after its first line is never read.
  {
    boost::system::error_code ignored;
    from_shim.close(ignored);
  }
  if (first.index() == 1) co_return failure(OpenError::Spawn{"shim did not report in time"});
  auto [read_error, length] = std::get<0>(first);
  if (read_error == asio::error::not_found)
    co_return failure(
        OpenError::Spawn{"report line longer than " + std::to_string(REPORT_LINE_LIMIT) + " bytes"});
  if (read_error && read_error != asio::error::eof)
    co_return failure(OpenError::Io{OsError::from_error_code(read_error)});
  if (!read_error) line.resize(length);
  if (!quern_protocol::utf8::is_valid(line))
    co_return failure(OpenError::Io{OsError::custom(ErrorKind::InvalidData, "stream did not contain valid UTF-8")});

  auto report = quern_session::text::trim_space(line);
  if (!report_is_success(report)) co_return failure(OpenError::Spawn{std::string(report)});
  co_return std::expected<void, OpenError>{};
}

asio::awaitable<std::vector<PtyEntry>> Registry::list() const {
  std::vector<PtyEntry> entries;
  auto listed = Manifest::list(runtime_);
  if (!listed) co_return entries;
  // Unreadable manifests are passed over: only the sweep removes them.
  for (const auto& m : listed->first) {
    auto answer = co_await probe_recorded(m.socket, runtime_.daemon_socket(), probe_limit_);
    if (answer.is<Probe::Dead>()) {
      clear_if_gone(*this, m.id, m, Socket::Dead);
      continue;
    }
    auto* live = std::get_if<Probe::Live>(&answer.value);
    if (!live) continue;
    auto shim = co_await wire::hello(std::move(live->stream), reply_limit_);
    if (!shim) continue;
    if (!co_await wire::write_frame(shim->writer, quern_protocol::control::encode(msg::List{}))) continue;
    auto reply = co_await shim->reader.expect(reply_limit_);
    if (!reply) continue;
    if (auto* got = reply->message.get<msg::Listed>())
      entries.insert(entries.end(), got->entries.begin(), got->entries.end());
    // The connection closes here, before the next shim is asked.
  }
  co_return entries;
}

}  // namespace quernd::registry
