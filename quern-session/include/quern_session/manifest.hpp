// Session manifests: the record a session's shim writes into the sessions
// directory, read (never written) here.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quern_protocol/message.hpp"
#include "quern_session/os_error.hpp"
#include "quern_session/paths.hpp"
#include "quern_session/procinfo.hpp"

namespace quern_session::manifest {

using quern_protocol::message::DecodeError;
using quern_protocol::message::PtyId;
using procinfo::StartTime;

// Why a manifest, or the sessions directory, could not be read. Callers only
// tell success from failure; it has no text of its own.
struct ManifestError {
  struct Io {
    OsError error;
    std::filesystem::path path;
  };
  struct Json {
    DecodeError error;
    std::filesystem::path path;
  };
  std::variant<Io, Json> value;

  template <class T>
  bool is() const { return std::holds_alternative<T>(value); }
};

// The largest manifest file read; a larger one is unreadable.
inline constexpr std::size_t MANIFEST_LIMIT = 1 << 20;

struct Manifest {
  PtyId id;
  std::int32_t shim_pid = 0;
  std::int32_t shell_pid = 0;
  std::int32_t pgid = 0;
  std::string tty;  // device name under /dev, without the prefix
  std::filesystem::path socket;
  StartTime started_at;  // the shim's
  std::string boot_id;
  std::optional<StartTime> shell_started_at;
  std::optional<std::string> cgroup;

  friend bool operator==(const Manifest&, const Manifest&) = default;

  // One JSON text holding the record as an object or as an array of the
  // fields in order; nothing but whitespace may follow it.
  static std::expected<Manifest, DecodeError> decode(std::string_view json);

  // Reads and decodes the file at `path` (a symlink is followed); a file
  // over MANIFEST_LIMIT bytes fails as unreadable.
  static std::expected<Manifest, ManifestError> read(const std::filesystem::path& path);

  // Reads every "*.json" in the sessions directory, in directory order: the
  // manifests read, and the paths of those that could not be read. A file
  // that could not be opened or read for want of descriptors or memory is in
  // neither list. A missing sessions directory (or root) holds no session.
  static std::expected<std::pair<std::vector<Manifest>, std::vector<std::filesystem::path>>,
                       ManifestError>
  list(const paths::Runtime& runtime);
};

}  // namespace quern_session::manifest
