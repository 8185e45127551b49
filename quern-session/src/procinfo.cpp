#include "quern_session/procinfo.hpp"

#include "quern_protocol/utf8.hpp"
#include "quern_session/child.hpp"
#include "quern_session/fd.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <libproc.h>
#include <sys/proc_info.h>
#endif

#include "quern_session/text.hpp"

namespace quern_session::procinfo {
namespace {

// Non-empty UTF-8 text trimmed of white space, or none.
std::optional<std::string> trimmed_text(const std::string& raw) {
  if (!quern_protocol::utf8::is_valid(raw)) return std::nullopt;
  std::string_view t = text::trim_space(raw);
  if (t.empty()) return std::nullopt;
  return std::string(t);
}

// Reads both pipes until each has ended; the first one's bytes are returned.
std::optional<std::string> read_both_to_end(Fd& out, Fd& err) {
  std::string captured;
  char buf[4096];
  pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fds[i].fd = -1;  // poll skips negative descriptors
        --open;
        continue;
      }
      if (i == 0) captured.append(buf, static_cast<std::size_t>(n));
    }
  }
  return captured;
}

}  // namespace

std::optional<std::string> command_text(const std::vector<std::string>& argv) {
  using child::Stdio;
  child::Command command{.argv = argv, .stdio = {Stdio::Null, Stdio::Pipe, Stdio::Pipe}};
  auto spawned = child::spawn(command);
  if (!spawned) return std::nullopt;

  auto captured = read_both_to_end(spawned->pipes[STDOUT_FILENO], spawned->pipes[STDERR_FILENO]);
  // Close our ends before waiting, so a child still writing gets EPIPE
  // instead of blocking forever when reading them failed.
  for (Fd& end : spawned->pipes) end.reset();

  auto status = child::wait(spawned->pid);
  if (!status || !captured || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
  return trimmed_text(*captured);
}

namespace procfs {

std::optional<std::string> read_file(const char* path) {
  Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  std::string content;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) return content;
    if (n > 0) {
      content.append(buf, static_cast<std::size_t>(n));
    } else if (errno != EINTR) {
      // A process that has just ended fails the read of its files (ESRCH).
      return std::nullopt;
    }
  }
}
namespace {

// The part of a /proc/<pid>/stat line after the command name, which starts
// with field 3; none when the line is malformed or its pid field is not `pid`.
std::optional<std::string_view> after_comm(std::string_view line, std::int32_t pid) {
  // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so
  // the fields after it start after the last ')'.
  std::size_t close = line.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::int32_t stat_pid = 0;
  auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), stat_pid);
  if (ec != std::errc() || stat_pid != pid || end > line.data() + close) return std::nullopt;
  return line.substr(close + 1);
}

// Field `n` (3 or more) of a line's part after the command name.
std::optional<std::string_view> field(std::string_view rest, int n) {
  std::string_view found;
  for (int k = 3; k <= n; ++k) {
    std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(begin);
    std::size_t stop = rest.find_first_of(" \n");
    found = rest.substr(0, stop);
    rest.remove_prefix(stop == std::string_view::npos ? rest.size() : stop);
  }
  return found;
}

template <class T>
std::optional<T> whole_number(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<StartTime> parse_stat(std::string_view line, std::int32_t pid, long ticks_per_sec) {
  if (ticks_per_sec <= 0) return std::nullopt;
  auto rest = after_comm(line, pid);
  if (!rest) return std::nullopt;
  auto started = field(*rest, 22);
  if (!started) return std::nullopt;
  auto ticks = whole_number<std::uint64_t>(*started);
  if (!ticks) return std::nullopt;

  auto hz = static_cast<std::uint64_t>(ticks_per_sec);
  std::uint64_t secs = *ticks / hz;
  if (secs > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  auto micros = static_cast<std::int64_t>((*ticks % hz) * 1'000'000 / hz);
  return StartTime{static_cast<std::int64_t>(secs), micros};
}

std::optional<Family> parse_family(std::string_view line, std::int32_t pid) {
  auto rest = after_comm(line, pid);
  if (!rest) return std::nullopt;
  auto ppid_text = field(*rest, 4);
  auto pgid_text = field(*rest, 5);
  if (!ppid_text || !pgid_text) return std::nullopt;
  auto ppid = whole_number<std::int32_t>(*ppid_text);
  auto pgid = whole_number<std::int32_t>(*pgid_text);
  if (!ppid || !pgid) return std::nullopt;
  return Family{*ppid, *pgid};
}

}  // namespace procfs

#if defined(__APPLE__)

namespace macos {

std::optional<std::string> boot_id() { return command_text({"sysctl", "-n", "kern.bootsessionuuid"}); }

std::optional<StartTime> start_time(std::int32_t pid) {
  static_assert(sizeof(proc_bsdinfo) == 136);
  proc_bsdinfo info;
  std::memset(&info, 0, sizeof info);
  int n = proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, static_cast<int>(sizeof info));
  if (n != static_cast<int>(sizeof info)) return std::nullopt;
  if (static_cast<std::int64_t>(info.pbi_pid) != pid) return std::nullopt;
  constexpr std::uint64_t LIMIT = std::uint64_t{1} << 63;
  auto secs = static_cast<std::uint64_t>(info.pbi_start_tvsec);
  auto usecs = static_cast<std::uint64_t>(info.pbi_start_tvusec);
  if (secs >= LIMIT || usecs >= LIMIT) return std::nullopt;
  return StartTime{static_cast<std::int64_t>(secs), static_cast<std::int64_t>(usecs)};
}

std::optional<Family> family(std::int32_t pid) {
  proc_bsdinfo info;
  std::memset(&info, 0, sizeof info);
  int n = proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, static_cast<int>(sizeof info));
  if (n != static_cast<int>(sizeof info)) return std::nullopt;
  if (static_cast<std::int64_t>(info.pbi_pid) != pid) return std::nullopt;
  return Family{static_cast<std::int32_t>(info.pbi_ppid), static_cast<std::int32_t>(info.pbi_pgid)};
}

}  // namespace macos

std::optional<std::string> boot_id() { return macos::boot_id(); }

std::optional<StartTime> start_time(std::int32_t pid) { return macos::start_time(pid); }

std::optional<Family> family(std::int32_t pid) { return macos::family(pid); }

#else

std::optional<std::string> boot_id() {
  auto raw = procfs::read_file("/proc/sys/kernel/random/boot_id");
  if (!raw) return std::nullopt;
  return trimmed_text(*raw);
}

std::optional<StartTime> start_time(std::int32_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  auto line = procfs::read_file(path.c_str());
  if (!line) return std::nullopt;
  return procfs::parse_stat(*line, pid, ::sysconf(_SC_CLK_TCK));
}

std::optional<Family> family(std::int32_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  auto line = procfs::read_file(path.c_str());
  if (!line) return std::nullopt;
  return procfs::parse_family(*line, pid);
}

#endif

}  // namespace quern_session::procinfo
