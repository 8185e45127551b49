// The daemon's time limits in one record. Timings::product() holds the values
// the daemon runs with; tests build shorter ones so as not to wait them out,
// and the daemon process takes shorter ones only through its test-only flag.
#pragma once

#include <array>
#include <chrono>

namespace quernd {

using Duration = std::chrono::milliseconds;

// A kill chain's pauses: after the hang-up, after each of the four rounds of
// SIGKILL, and before the last look.
struct KillSchedule {
  Duration hangup_pause;
  std::array<Duration, 4> round_waits;
  Duration settle;
  friend bool operator==(const KillSchedule&, const KillSchedule&) = default;
};

// A browser connection's clocks.
struct WsTiming {
  // A client that sends nothing at all for this long is dropped.
  Duration idle;
  Duration ping_period;
  // How long each way out may wait for the client's side of the close.
  Duration overflow_close;
  Duration finish_close;
  friend bool operator==(const WsTiming&, const WsTiming&) = default;
};

struct Timings {
  // One connection attempt to a unix socket: a session's, or the daemon's
  // own at start-up.
  Duration probe;
  // A shim's answer to hello, and to list.
  Duration reply;
  // A started shim's report line, from the end of its input; and the
  // hand-over of its launch record before that.
  Duration report;
  KillSchedule kill;
  // Shutdown's wait for the kill chains, all of them together.
  Duration drain;
  WsTiming ws;
  // A browser's opening handshake, from its admission.
  Duration upgrade;

  static constexpr Timings product() {
    using namespace std::chrono_literals;
    return Timings{
        .probe = 2s,
        .reply = 2s,
        .report = 10s,
        .kill = {.hangup_pause = 1s, .round_waits = {300ms, 700ms, 1500ms, 2500ms}, .settle = 300ms},
        .drain = 8s,
        .ws = {.idle = 15s, .ping_period = 5s, .overflow_close = 10s, .finish_close = 2s},
        .upgrade = 3s,
    };
  }

  friend bool operator==(const Timings&, const Timings&) = default;
};

}  // namespace quernd
