// Process identity: which boot of the machine this is, and when a process
// started. A pid together with its start time tells a process apart from a
// later one that reuses the number; the boot id tells boots apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quern_session::procinfo {

struct StartTime {
  std::int64_t secs = 0;
  std::int64_t micros = 0;
  friend bool operator==(const StartTime&, const StartTime&) = default;
};

// This boot's id, stable while the machine is up; none when it cannot be read.
std::optional<std::string> boot_id();

// The start time of the process `pid`, the same on every query while it runs;
// none when no process has that pid or it cannot be inspected. On Linux it
// is counted from boot, so it is only meaningful together with boot_id().
std::optional<StartTime> start_time(std::int32_t pid);

// Where a process stands: its parent and its process group.
struct Family {
  std::int32_t ppid = 0;
  std::int32_t pgid = 0;
  friend bool operator==(const Family&, const Family&) = default;
};

// The parent and process group of the process `pid` now; none when no
// process has that pid or it cannot be inspected.
std::optional<Family> family(std::int32_t pid);

// Runs `argv` (found through PATH) with stdin on /dev/null and both output
// streams captured; the standard output, trimmed of white space, when the
// command exits with status 0 and prints non-empty UTF-8 text.
std::optional<std::string> command_text(const std::vector<std::string>& argv);

namespace procfs {
// The whole file, or none when it cannot be opened or read (a read fails,
// for one, when the process whose file it is ends meanwhile).
std::optional<std::string> read_file(const char* path);
// Parses one /proc/<pid>/stat line: field 22 (start in clock ticks since boot)
// as seconds and microseconds; none when the line is malformed or its pid
// field is not `pid`.
std::optional<StartTime> parse_stat(std::string_view line, std::int32_t pid, long ticks_per_sec);
// Parses fields 4 (ppid) and 5 (pgrp) of the same line; none when the line is
// malformed or its pid field is not `pid`.
std::optional<Family> parse_family(std::string_view line, std::int32_t pid);
}  // namespace procfs

#if defined(__APPLE__)
namespace macos {
// `sysctl -n kern.bootsessionuuid`.
std::optional<std::string> boot_id();
// proc_pidinfo with PROC_PIDTBSDINFO: pbi_start_tvsec and pbi_start_tvusec.
std::optional<StartTime> start_time(std::int32_t pid);
// proc_pidinfo with PROC_PIDTBSDINFO: pbi_ppid and pbi_pgid.
std::optional<Family> family(std::int32_t pid);
}  // namespace macos
#endif

}  // namespace quern_session::procinfo
