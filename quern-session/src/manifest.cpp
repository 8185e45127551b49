#include "quern_session/manifest.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "quern_protocol/json.hpp"
#include "quern_session/fd.hpp"

namespace quern_session::manifest {
namespace fs = std::filesystem;
namespace json = quern_protocol::json;

namespace {

using Sink = std::expected<void, std::string>;

constexpr std::array<json::Field, 2> START_TIME_FIELDS{{{"secs"}, {"micros"}}};
constexpr json::Record START_TIME{START_TIME_FIELDS, "struct StartTime",
                                  "struct StartTime with 2 elements"};

std::expected<StartTime, std::string> decode_start_time(const json::Value& v) {
  StartTime t;
  auto done = json::decode_record(v, START_TIME, [&](std::size_t field, const json::Value& x) -> Sink {
    auto n = json::to_integer<std::int64_t>(x);
    if (!n) return std::unexpected(std::move(n.error()));
    (field == 0 ? t.secs : t.micros) = *n;
    return {};
  });
  if (!done) return std::unexpected(std::move(done.error()));
  return t;
}

enum Field : std::size_t {
  ID,
  SHIM_PID,
  SHELL_PID,
  PGID,
  TTY,
  SOCKET,
  STARTED_AT,
  BOOT_ID,
  SHELL_STARTED_AT,
  CGROUP,
};

constexpr std::array<json::Field, 10> MANIFEST_FIELDS{{
    {"id"},
    {"shim_pid"},
    {"shell_pid"},
    {"pgid"},
    {"tty"},
    {"socket"},
    {"started_at"},
    {"boot_id"},
    {"shell_started_at", false},
    {"cgroup", false},
}};
constexpr json::Record MANIFEST{MANIFEST_FIELDS, "struct Manifest",
                                "struct Manifest with 10 elements"};

// Stores a decoded value into `out`, or passes the decoder's failure on.
template <class T, class U>
Sink store(std::expected<T, std::string>&& decoded, U& out) {
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  out = std::move(*decoded);
  return {};
}

Sink decode_field(Manifest& m, std::size_t field, const json::Value& v) {
  switch (field) {
    case ID: return store(json::to_pty_id(v), m.id);
    case SHIM_PID: return store(json::to_integer<std::int32_t>(v), m.shim_pid);
    case SHELL_PID: return store(json::to_integer<std::int32_t>(v), m.shell_pid);
    case PGID: return store(json::to_integer<std::int32_t>(v), m.pgid);
    case TTY: return store(json::to_string(v), m.tty);
    case SOCKET: {
      std::string text;
      if (auto r = store(json::to_string(v), text); !r) return r;
      m.socket = fs::path(std::move(text));
      return {};
    }
    case STARTED_AT: return store(decode_start_time(v), m.started_at);
    case BOOT_ID: return store(json::to_string(v), m.boot_id);
    case SHELL_STARTED_AT: return store(json::to_optional(v, decode_start_time), m.shell_started_at);
    case CGROUP: return store(json::to_optional(v, json::to_string), m.cgroup);
  }
  return {};
}

// The whole file, at most MANIFEST_LIMIT bytes of it; a symlink is followed.
// O_NONBLOCK changes nothing for a regular file but keeps a FIFO named like a
// manifest from blocking forever. No more than the limit and one byte is
// ever loaded, whatever the file is (a link to /dev/zero included).
std::expected<std::string, OsError> read_file(const fs::path& path) {
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return std::unexpected(OsError::last());
  std::string content;
  try {
    char buf[16384];
    while (content.size() <= MANIFEST_LIMIT) {
      const std::size_t want = std::min(sizeof buf, MANIFEST_LIMIT + 1 - content.size());
      ssize_t n = ::read(file.get(), buf, want);
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(OsError::last());
      }
      if (n == 0) return content;
      content.append(buf, static_cast<std::size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(OsError::custom(ErrorKind::OutOfMemory, "out of memory"));
  }
  return std::unexpected(OsError::custom(ErrorKind::InvalidData,
                                         "larger than " + std::to_string(MANIFEST_LIMIT) + " bytes"));
}

// "json" after the name's last dot; a dot that starts the name does not count.
bool has_json_extension(std::string_view name) {
  std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "json";
}

}  // namespace

std::expected<Manifest, DecodeError> Manifest::decode(std::string_view text) {
  auto root = json::parse_value(text);
  if (!root) return std::unexpected(DecodeError{root.error().text()});
  Manifest m;
  auto done = json::decode_record(*root, MANIFEST, [&](std::size_t field, const json::Value& v) {
    return decode_field(m, field, v);
  });
  if (!done) return std::unexpected(DecodeError{std::move(done.error())});
  return m;
}

std::expected<Manifest, ManifestError> Manifest::read(const fs::path& path) {
  auto bytes = read_file(path);
  if (!bytes) return std::unexpected(ManifestError{ManifestError::Io{std::move(bytes.error()), path}});
  auto m = decode(*bytes);
  if (!m) return std::unexpected(ManifestError{ManifestError::Json{std::move(m.error()), path}});
  return std::move(*m);
}

std::expected<std::pair<std::vector<Manifest>, std::vector<fs::path>>, ManifestError> Manifest::list(
    const paths::Runtime& runtime) {
  std::pair<std::vector<Manifest>, std::vector<fs::path>> found;
  fs::path dir = runtime.sessions_dir();
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    int err = errno;
    // No sessions directory (or no root): no session exists.
    if (kind_of_errno(err) == ErrorKind::NotFound) return found;
    return std::unexpected(ManifestError{ManifestError::Io{OsError::from_errno(err), dir}});
  }
  // An entry that cannot be read ends the listing like its end would.
  while (const dirent* entry = ::readdir(d)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == ".." || !has_json_extension(name)) continue;
    fs::path path = dir / name;
    if (auto m = read(path)) {
      found.first.push_back(std::move(*m));
    } else {
      found.second.push_back(std::move(path));
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace quern_session::manifest
