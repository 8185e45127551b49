#include "quern_session/manifest.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "quern_protocol/json_decoder.hpp"
#include "quern_session/fd.hpp"

namespace quern_session::manifest {
namespace fs = std::filesystem;
namespace json = quern_protocol::json;

namespace {

using json::Shape;
using json::Slot;

constexpr std::array<json::Field, 2> START_TIME_FIELDS{{{"secs"}, {"micros"}}};

Slot start_time_field(void* record, std::size_t field) {
  auto& t = *static_cast<StartTime*>(record);
  return Slot{Shape::i64, false, field == 0 ? &t.secs : &t.micros};
}

constexpr json::RecordType START_TIME = json::record_type<StartTime>(
    START_TIME_FIELDS, "struct StartTime", "struct StartTime with 2 elements", start_time_field);

// The manifest as decoded; the socket's path is made from its text after.
struct Draft {
  Manifest manifest;
  std::string socket;
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

Slot manifest_field(void* record, std::size_t field) {
  auto& d = *static_cast<Draft*>(record);
  Manifest& m = d.manifest;
  switch (field) {
    case 0: return Slot{Shape::pty_id, false, &m.id};
    case 1: return Slot{Shape::i32, false, &m.shim_pid};
    case 2: return Slot{Shape::i32, false, &m.shell_pid};
    case 3: return Slot{Shape::i32, false, &m.pgid};
    case 4: return Slot{Shape::string, false, &m.tty};
    case 5: return Slot{Shape::string, false, &d.socket};
    case 6: return Slot{Shape::record, false, &m.started_at, &START_TIME};
    case 7: return Slot{Shape::string, false, &m.boot_id};
    case 8: return Slot{Shape::record, true, &m.shell_started_at, &START_TIME};
    default: return Slot{Shape::string, true, &m.cgroup};
  }
}

constexpr json::RecordType MANIFEST = json::record_type<Draft>(
    MANIFEST_FIELDS, "struct Manifest", "struct Manifest with 10 elements", manifest_field);

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

// A read that failed for want of descriptors or memory says nothing of the
// file: it is neither a manifest nor unreadable, and is passed over.
bool out_of_resources(const ManifestError& error) {
  const auto* io = std::get_if<ManifestError::Io>(&error.value);
  if (!io) return false;
  const int err = io->error.raw_os_error();
  return err == EMFILE || err == ENFILE || err == ENOMEM || io->error.kind() == ErrorKind::OutOfMemory;
}

}  // namespace

std::expected<Manifest, DecodeError> Manifest::decode(std::string_view text) {
  Draft d;
  const json::Outcome outcome = json::decode(text, Slot{Shape::record, false, &d, &MANIFEST});
  if (!outcome.well_formed) return std::unexpected(DecodeError{outcome.syntax_error(text).text()});
  if (outcome.error) return std::unexpected(DecodeError{*outcome.error});
  d.manifest.socket = fs::path(std::move(d.socket));
  return std::move(d.manifest);
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
    } else if (!out_of_resources(m.error())) {
      found.second.push_back(std::move(path));
    }
  }
  ::closedir(d);
  return found;
}

}  // namespace quern_session::manifest
