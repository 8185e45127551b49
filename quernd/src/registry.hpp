// The daemon's view of the sessions on disk. Nothing is kept in memory: every
// question is answered afresh from a session's manifest, from whether its
// recorded shim still runs, and from a connection attempt on its socket.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/manifest.hpp"
#include "quern_session/os_error.hpp"
#include "quern_session/paths.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_session/wire.hpp"
#include "reaper.hpp"
#include "supervisor.hpp"
#include "timings.hpp"
#include "shim_hello.hpp"

namespace quernd::registry {

using quern_protocol::message::PtyEntry;
using quern_protocol::message::PtyId;
using quern_session::OsError;
using quern_session::manifest::Manifest;
using quern_session::paths::Runtime;
using quern_session::procinfo::StartTime;
using supervisor::TreeRoot;

// The longest report line taken from a shim, its newline included.
inline constexpr std::size_t REPORT_LINE_LIMIT = 4096;
// Probes of a started shim's socket, and the pause after each dead one.
inline constexpr int SPAWN_PROBES = 100;
inline constexpr std::chrono::milliseconds SPAWN_PROBE_PAUSE{20};

// The outcome of one connection attempt to a unix-domain socket.
struct Probe {
  // Something accepted the connection.
  struct Live {
    boost::asio::local::stream_protocol::socket stream;
  };
  // Nothing listens: no such file, or the connection was refused.
  struct Dead {};
  // Any other error, or no connection within the limit ("connect timed out").
  struct Failed {
    OsError error;
  };
  std::variant<Live, Dead, Failed> value;

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value);
  }
};

boost::asio::awaitable<Probe> probe(std::filesystem::path path, Duration limit);

// Whether the shim that a manifest names still owns its session; decided from
// the boot ids and the shim's start time, never from the socket.
enum class Ownership : std::uint8_t {
  Alive,      // same boot, and shim_pid runs with the recorded start time
  Stale,      // same boot, but shim_pid is gone or is another process now
  OtherBoot,  // written during another boot
  NoBootId,   // cannot be judged: no boot id here, or none in the manifest
};

// Why a session could not be opened.
struct OpenError {
  struct NoSuchPty {};
  struct Unresponsive {
    std::int32_t shim_pid;
  };
  struct Indeterminate {
    OsError error;
  };
  struct Spawn {
    std::string text;
  };
  struct Wire {
    quern_session::wire::WireError error;
  };
  struct Io {
    OsError error;
  };
  std::variant<NoSuchPty, Unresponsive, Indeterminate, Spawn, Wire, Io> value;

  template <class T>
  bool is() const {
    return std::holds_alternative<T>(value);
  }
  std::string what() const;
};

class Registry {
 public:
  // Reads this boot's id, once. Of `timings` it keeps the probe, reply and
  // report limits.
  Registry(Runtime runtime, reaper::Children children, const Timings& timings);
  // With a boot id given instead of read.
  Registry(Runtime runtime, std::optional<std::string> boot_id, reaper::Children children, const Timings& timings);

  const Runtime& runtime() const { return runtime_; }
  const std::optional<std::string>& boot_id() const { return boot_id_; }

  // The session's manifest by its computed name; none when it cannot be read.
  std::optional<Manifest> manifest(const PtyId& id) const;
  Ownership ownership(const Manifest& manifest) const;
  static TreeRoot root_of(const Manifest& manifest);

  // Removes the session's socket, then its manifest, by their computed names;
  // errors, a missing file included, are ignored.
  void unlink(const PtyId& id) const;
  // SIGKILLs the shim, but only while `shim_pid` still runs with the start time
  // `shim_started_at` (a pid taken over by another process is never
  // signalled; without a start time nothing is) and is neither the daemon nor
  // one of its ancestors; then unlinks the session. A shim that is not killed
  // keeps its socket and manifest.
  void discard(const PtyId& id, std::int32_t shim_pid,
               const std::optional<StartTime>& shim_started_at) const;

  // The start-up sweep: removes unreadable manifests and the files of stale
  // sessions and of sessions from another boot, and hands back the sessions
  // whose shim still runs while nothing answers on their socket. A manifest
  // that records the daemon's own socket is never probed: it counts as a
  // failed probe.
  boost::asio::awaitable<std::vector<std::pair<PtyId, TreeRoot>>> sweep() const;

  // Reaches the session's shim and greets it. When nothing answers, judges the
  // session's files and, given a launch record, starts a shim for it.
  boost::asio::awaitable<std::expected<wire::Connection, OpenError>> open(
      PtyId id, std::optional<quern_protocol::Bytes> launch) const;

  // Starts a shim for the session, hands it the launch record and reads its
  // report line. A shim once started is never killed here: it is held in
  // `children` and runs on whatever happens later.
  boost::asio::awaitable<std::expected<void, OpenError>> spawn_shim(
      PtyId id, quern_protocol::Bytes launch) const;

  // The entries of every shim that answers, grouped by shim in the order the
  // manifests are listed. A shim that fails in any way contributes nothing,
  // and neither does a manifest that records the daemon's own socket.
  boost::asio::awaitable<std::vector<PtyEntry>> list() const;

 private:
  Runtime runtime_;
  std::optional<std::string> boot_id_;
  reaper::Children children_;
  Duration probe_limit_;
  Duration reply_limit_;
  Duration report_limit_;
};

}  // namespace quernd::registry
