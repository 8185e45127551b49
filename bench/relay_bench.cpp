// quern-bench-relay: how fast the daemon relays a session's output, how
// long a keystroke takes to come back through it, next to the same traffic
// without the daemon, and how long a client waits while others flood it.
//
// Paths compared, all ending in the same client code:
//   direct  client <-> shim socket
//   relay   client <-> minimal read/write relay (two threads) <-> shim socket
//   daemon  client <-> quernd's unix socket <-> shim socket
//   ws      browser <-> quernd's WebSocket data plane <-> shim socket
//   node ws browser <-> minimal bridge written with Node's `ws` <-> shim socket
// The shim is quern-bench-shim, which the daemon starts on the first attach
// of a local client (a browser never starts one). The bridge (node_bridge.js)
// runs when Node and Debian's node-ws are there; otherwise its rows say
// what is missing. The terminal cases, the daemon with its test shim beside
// dtach, are in pty_bench.
#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frame_io.hpp"
#include "processes.hpp"
#include "pty_bench.hpp"
#include "quern_session/paths.hpp"
#include "ws_conn.hpp"

namespace msg = quern_protocol::message;
using namespace quern_bench;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using quern_session::paths::Runtime;

namespace {

const std::string SESSION = "bench";
// The page origin the daemon is started to allow.
const std::string ORIGIN = "http://bench.localhost";
// Where Debian's node-ws puts Node's `ws` package.
const std::filesystem::path NODE_WS = "/usr/share/nodejs/ws";
// The protocol the benchmark's browser asks the bridge for (it checks no token).
const std::string NODE_TOKEN = "bench";

struct Options {
  std::filesystem::path daemon;  // empty: no daemon rows
  std::filesystem::path shim;
  std::filesystem::path session;  // the test shim, for the terminal cases
  std::size_t large_count = 8192;   // 64 KiB frames
  std::size_t small_count = 500000;  // 100-byte frames
  std::size_t echoes = 5000;
  std::size_t runs = 3;
  std::size_t floods = 24;        // 8 MiB JSON frames per flooding client
  std::size_t stall_frames = 8;   // frames of 8 MiB - 8 KiB per stalled browser
  std::size_t pty_mb = 283;       // of the file `cat` prints through the terminal
};

// What a signal must end: once they are gone the run fails and cleans up.
std::atomic<pid_t> g_daemon{-1};
std::atomic<pid_t> g_shim{-1};
std::atomic<int> g_signal{0};
// The daemon's data plane, once it has written its endpoint file.
DataEndpoint g_endpoint;
// The Node bridge's port (0 while it does not run), and why it does not.
DataEndpoint g_node;
std::string g_node_missing;

void watch_signals(sigset_t set) {
  int sig = 0;
  if (::sigwait(&set, &sig) != 0) return;
  g_signal = sig;
  if (pid_t p = g_shim.load(); p > 0) ::kill(p, SIGTERM);
  if (pid_t p = g_daemon.load(); p > 0) ::kill(p, SIGTERM);
  terminate_tracked();
}

// ---- the minimal relay -------------------------------------------------

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Copies one direction until the end of the stream, then passes the end on.
void copy(int from, int to) {
  std::vector<char> buf(64 * 1024);
  for (;;) {
    ssize_t n = ::read(from, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !write_all(to, buf.data(), static_cast<std::size_t>(n))) break;
  }
  ::shutdown(to, SHUT_WR);
}

// A byte relay between one client socket and the shim, one thread per direction.
class Relay {
 public:
  Relay(int client, const std::filesystem::path& upstream) : client_(client) {
    shim_ = connect_unix(upstream);
    if (shim_ < 0) throw std::runtime_error("relay: connect " + upstream.native() + ": " + std::strerror(errno));
    up_ = std::thread(copy, client_, shim_);
    down_ = std::thread(copy, shim_, client_);
  }
  ~Relay() {
    up_.join();
    down_.join();
    ::close(client_);
    ::close(shim_);
  }

 private:
  int client_;
  int shim_ = -1;
  std::thread up_, down_;
};

// ---- clients -----------------------------------------------------------

enum class Path { Direct, Relay, Daemon, Web, Node };
constexpr Path PATHS[] = {Path::Direct, Path::Relay, Path::Daemon, Path::Web, Path::Node};
constexpr std::size_t PATH_COUNT = std::size(PATHS);

// Whether the path goes through the daemon.
bool via_daemon(Path p) { return p == Path::Daemon || p == Path::Web; }

// Whether the path is measured in this run.
bool measured(Path p, bool daemon) {
  if (p == Path::Node) return g_node.port != 0;
  return daemon || !via_daemon(p);
}

const char* name_of(Path p) {
  switch (p) {
    case Path::Direct: return "direct";
    case Path::Relay: return "relay";
    case Path::Daemon: return "daemon";
    case Path::Web: return "ws";
    case Path::Node: return "node ws";
  }
  return "?";
}

// A client connection on one path, past hello and welcome.
struct Client {
  std::unique_ptr<Relay> relay;  // ends after the connection has closed
  std::optional<Conn> conn;
};

Client open_client(Path path, const Runtime& runtime) {
  Client c;
  if (path == Path::Relay) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
      throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    }
    c.relay = std::make_unique<Relay>(pair[1], runtime.session_socket({SESSION}));
    c.conn.emplace(pair[0]);
  } else {
    c.conn.emplace(Conn::connect(path == Path::Daemon ? runtime.daemon_socket() : runtime.session_socket({SESSION})));
  }
  c.conn->send(msg::Hello{{1}});
  c.conn->expect("welcome");
  return c;
}

// A browser on the daemon's data plane (or on the Node bridge, which passes
// hello and welcome between it and the shim), past hello and welcome.
WsConn open_browser(const DataEndpoint& endpoint = g_endpoint) {
  WsConn w = WsConn::open(endpoint, ORIGIN);
  w.send(msg::Hello{{1}});
  w.expect("welcome");
  return w;
}

std::string attach_json(std::vector<std::string> argv, const std::string& session = SESSION) {
  msg::Attach a;
  a.id = {session};
  a.cols = 80;
  a.rows = 24;
  a.argv = std::move(argv);
  return json_of(a);
}

[[noreturn]] void not_output(const Frame& f) {
  auto m = Message::deserialize(f.json.span());
  throw std::runtime_error("expected output, got " + (m ? m->debug() : std::string(f.json.view())));
}

struct Rate {
  double mb_per_s = 0;
  double frames_per_s = 0;
};

// Asks for `count` frames of `size` bytes and reads them as fast as it can.
template <class C>
Rate stream_on(C& conn, std::size_t size, std::size_t count) {
  auto start = Clock::now();
  conn.send(attach_json({"stream", std::to_string(size), std::to_string(count)}));
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Frame f = conn.recv();
    if (!is_output(f)) not_output(f);
    bytes += f.payload.size();
  }
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  if (bytes != std::uint64_t{size} * count) throw std::runtime_error("stream: payload bytes do not add up");
  return {static_cast<double>(bytes) / 1e6 / secs, static_cast<double>(count) / secs};
}

Rate stream_once(Path path, const Runtime& runtime, std::size_t size, std::size_t count) {
  if (path == Path::Web || path == Path::Node) {
    WsConn w = open_browser(path == Path::Node ? g_node : g_endpoint);
    return stream_on(w, size, count);
  }
  Client c = open_client(path, runtime);
  return stream_on(*c.conn, size, count);
}

// Two clients of the daemon streaming from the same session at once (each
// connection has a stream of its own); their rates added up.
Rate stream_two(const Runtime& runtime, std::size_t size, std::size_t count) {
  Rate other;
  std::exception_ptr failed;
  std::thread second([&] {
    try {
      other = stream_once(Path::Daemon, runtime, size, count);
    } catch (...) {
      failed = std::current_exception();
    }
  });
  Rate first;
  try {
    first = stream_once(Path::Daemon, runtime, size, count);
  } catch (...) {
    second.join();
    throw;
  }
  second.join();
  if (failed) std::rethrow_exception(failed);
  return {first.mb_per_s + other.mb_per_s, first.frames_per_s + other.frames_per_s};
}

// The median of several runs, by MB/s.
Rate stream(Path path, const Runtime& runtime, std::size_t size, std::size_t count, std::size_t runs) {
  std::vector<Rate> rates;
  for (std::size_t i = 0; i < runs; ++i) rates.push_back(stream_once(path, runtime, size, count));
  std::sort(rates.begin(), rates.end(), [](const Rate& a, const Rate& b) { return a.mb_per_s < b.mb_per_s; });
  return rates[rates.size() / 2];
}

struct Latency {
  double median_us = 0;
  double p99_us = 0;
};

// One byte written, echoed back as output, `count` times after a warm-up.
// Round trips made before the measured ones.
constexpr std::size_t ECHO_WARM_UP = 200;

template <class C>
Latency echo_on(C& conn, std::size_t count) {
  conn.send(attach_json({"echo"}));
  const std::string write = json_of(msg::Write{{SESSION}});
  std::vector<double> us;
  us.reserve(count);
  for (std::size_t i = 0; i < ECHO_WARM_UP + count; ++i) {
    std::uint8_t key = static_cast<std::uint8_t>('a' + i % 26);
    auto start = Clock::now();
    conn.send(write, {&key, 1});
    Frame f = conn.recv();
    auto end = Clock::now();
    if (!is_output(f)) not_output(f);
    if (f.payload.size() != 1 || f.payload[0] != key) throw std::runtime_error("echo: wrong bytes came back");
    if (i >= ECHO_WARM_UP) us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(us.begin(), us.end());
  std::size_t p99 = (us.size() * 99 + 99) / 100 - 1;
  return {us[us.size() / 2], us[std::min(p99, us.size() - 1)]};
}

Latency echo(Path path, const Runtime& runtime, std::size_t count) {
  if (path == Path::Web || path == Path::Node) {
    WsConn w = open_browser(path == Path::Node ? g_node : g_endpoint);
    return echo_on(w, count);
  }
  Client c = open_client(path, runtime);
  return echo_on(*c.conn, count);
}

// ---- the run -----------------------------------------------------------

void start_daemon(const Options& o, const Runtime& runtime) {
  quern_bench::start_daemon(o.daemon, o.shim, runtime, {"--origin", ORIGIN}, g_daemon);
  g_endpoint = read_endpoint(runtime.data_endpoint());
}

// Starts the Node bridge in front of the session's shim, when Node and its
// `ws` are there; otherwise says what is missing in g_node_missing.
Helper start_node_bridge(const Runtime& runtime) {
  const std::filesystem::path node = on_path("node");
  if (!std::filesystem::exists(NODE_WS)) g_node_missing = NODE_WS.native() + " is not there (Debian's node-ws)";
  if (node.empty()) g_node_missing += std::string(g_node_missing.empty() ? "" : "; ") + "node is not on PATH";
  if (!g_node_missing.empty()) return {};
  Helper bridge = spawn_helper({node.native(), QUERN_BENCH_NODE_BRIDGE, NODE_WS.native(),
                                runtime.session_socket({SESSION}).native()},
                               10s);
  unsigned port = 0;
  if (std::sscanf(bridge.line.c_str(), "port %u", &port) != 1 || port == 0 || port > 65535) {
    end_helper(bridge, 1s);
    throw std::runtime_error("the Node bridge said \"" + bridge.line + "\", not its port");
  }
  g_node = {static_cast<std::uint16_t>(port), NODE_TOKEN};
  return bridge;
}

// The CPU time a process has used so far, user and system, in seconds.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // Fields after the command name: state is the first, utime the 12th.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 1; rest >> field; ++i) {
    if (i == 12) utime = std::stoull(field);
    if (i == 13) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A process's resident memory in MiB: "VmRSS:" now, "VmHWM:" at its peak.
double memory_mib(pid_t pid, std::string_view field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(field)) return std::stod(line.substr(field.size())) / 1024.0;
  }
  return 0;
}

// What the daemon spends per unit of work: CPU time, and (where perf can
// count the daemon's tracepoints) system calls and context switches.
struct Costs {
  double cpu_us = 0;
  double syscalls = -1;  // below zero: not counted
  double switches = -1;
};

constexpr const char* PERF = "/usr/bin/perf";

// Counts raw_syscalls:sys_enter and context-switches of `pid` with perf
// stat until stopped; counts() stops it and reads them.
class PerfCount {
 public:
  explicit PerfCount(pid_t pid) {
    if (pid <= 0 || ::access(PERF, X_OK) != 0) return;
    out_ = std::filesystem::temp_directory_path() / ("quern-bench-perf-" + std::to_string(::getpid()));
    perf_ = spawn({PERF, "stat", "-x,", "-e", "raw_syscalls:sys_enter,context-switches", "-p",
                   std::to_string(pid), "-o", out_.native()},
                  {});
    // perf stat attaches within a few milliseconds.
    std::this_thread::sleep_for(200ms);
  }
  std::pair<double, double> counts() {
    if (perf_ <= 0) return {-1, -1};
    ::kill(perf_, SIGINT);
    reap(perf_, 5s);
    double syscalls = -1, switches = -1;
    std::ifstream in(out_);
    for (std::string line; std::getline(in, line);) {
      // "count,unit,event,..." per event.
      std::size_t comma = line.find(',');
      if (comma == std::string::npos || comma == 0 || !std::isdigit(static_cast<unsigned char>(line[0]))) continue;
      const double n = std::stod(line.substr(0, comma));
      if (line.find("raw_syscalls:sys_enter") != std::string::npos) syscalls = n;
      else if (line.find("context-switches") != std::string::npos) switches = n;
    }
    std::error_code ec;
    std::filesystem::remove(out_, ec);
    return {syscalls, switches};
  }

 private:
  pid_t perf_ = -1;
  std::filesystem::path out_;
};

template <class Work>
auto with_daemon_costs(std::size_t units, Costs& costs, Work&& work) {
  const pid_t pid = g_daemon.load();
  PerfCount perf(pid);
  const double before = pid > 0 ? cpu_seconds(pid) : 0;
  auto result = work();
  const double n = static_cast<double>(units);
  costs.cpu_us = pid > 0 ? (cpu_seconds(pid) - before) * 1e6 / n : 0;
  auto [syscalls, switches] = perf.counts();
  costs.syscalls = syscalls < 0 ? -1 : syscalls / n;
  costs.switches = switches < 0 ? -1 : switches / n;
  return result;
}

// "... system calls, ... context switches per {unit}", or why not; `via`
// names the daemon's side that was measured.
void print_costs(const Costs& c, const char* unit, const char* via = "daemon") {
  const std::string cpu = std::string(via) + " cpu", calls = std::string(via) + " calls";
  std::printf("  %-16s %-14s %10.3f us of daemon CPU per %s\n", "", cpu.c_str(), c.cpu_us, unit);
  if (c.syscalls < 0) {
    std::printf("  %-16s %-14s %10s (perf stat cannot count the daemon's tracepoints here)\n", "",
                calls.c_str(), "n/a");
    return;
  }
  std::printf("  %-16s %-14s %10.2f system calls, %.2f context switches per %s\n", "", calls.c_str(),
              c.syscalls, c.switches, unit);
}

// One JSON frame at the 8 MiB cap (a hello offering about four million
// versions): how long the daemon takes to answer it, how long another
// client waits for its welcome meanwhile, and what it costs in memory.
void large_json(const Runtime& runtime) {
  std::string json = R"({"type":"hello","versions":[1)";
  std::size_t versions = 1;
  // The JSON text may take the whole frame but for the jsonLen word.
  const std::size_t cap = 8'388'608 - 4;
  for (; json.size() + 4 <= cap; ++versions) json += ",1";
  json += "]}";
  const pid_t pid = g_daemon.load();
  const double rss_before = memory_mib(pid, "VmRSS:");
  const double peak_before = memory_mib(pid, "VmHWM:");

  Conn big = Conn::connect(runtime.daemon_socket());
  Conn other = Conn::connect(runtime.daemon_socket());
  const auto sent = Clock::now();
  big.send(json);
  const auto other_sent = Clock::now();
  other.send(msg::Hello{{1}});
  other.expect("welcome");
  const auto other_answered = Clock::now();
  big.expect("welcome");
  const auto answered = Clock::now();

  auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  std::printf("\none JSON frame of %zu bytes (hello with %zu versions)\n", json.size(), versions);
  std::printf("  answered after            %10.1f ms (from the start of sending)\n", ms(answered - sent));
  std::printf("  another client's hello    %10.1f ms meanwhile\n", ms(other_answered - other_sent));
  std::printf("  daemon memory             %10.1f MiB before, peak %.1f MiB (was %.1f)\n", rss_before,
              memory_mib(pid, "VmHWM:"), peak_before);
}

// A shim that sends a one-byte output frame after each frame of nearly
// 8 MiB that the daemon drops, to a client that does not read: the daemon's
// memory while its queue for the client is full (it holds at most 1 MiB of
// frames before it pauses the shim), and 30 s after the client has gone.
void pinning(const Runtime& runtime, double idle_rss) {
  const pid_t pid = g_daemon.load();
  const double before = memory_mib(pid, "VmRSS:");
  double highest = before;
  {
    Conn c = Conn::connect(runtime.daemon_socket());
    c.send(msg::Hello{{1}});
    c.expect("welcome");
    c.send(attach_json({"pin", "100000"}, "pin"));
    // Until the memory has not grown for 3 s (the shim paused), 60 s at most.
    auto last_growth = Clock::now();
    const auto deadline = Clock::now() + 60s;
    while (Clock::now() - last_growth < 3s && Clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
      const double now = memory_mib(pid, "VmRSS:");
      if (now > highest + 0.5) last_growth = Clock::now();
      highest = std::max(highest, now);
    }
  }
  std::printf("\npinning flood (a one-byte output after each dropped 8 MiB frame, client not reading)\n");
  std::printf("  daemon memory             %10.1f MiB idle at start, %.1f MiB before\n", idle_rss, before);
  std::printf("  while the queue is full   %10.1f MiB at most (the queue holds at most 1 MiB)\n", highest);
  std::this_thread::sleep_for(30s);
  const double after = memory_mib(pid, "VmRSS:");
  std::printf("  30 s after the client     %10.1f MiB (%.2fx the idle start)\n", after, after / idle_rss);
}

// ---- fairness ------------------------------------------------------------

// A JSON text as long as a frame can carry: `head`, then "1,1,...,1", then
// `tail`; `numbers` is how many ones.
std::string filled_json(std::string_view head, std::string_view tail, std::size_t& numbers) {
  const std::size_t cap = quern_protocol::frame::FRAME_CAP - 4;  // all but the jsonLen word
  std::string json(head);
  json.reserve(cap);
  json += '1';
  numbers = 1;
  for (; json.size() + 2 + tail.size() <= cap; ++numbers) json += ",1";
  json += tail;
  return json;
}

// p50, p99 and max of a set of waits, in ms.
struct Spread {
  double p50 = 0, p99 = 0, max = 0;
  std::size_t n = 0;
};

Spread spread_of(std::vector<double> ms) {
  if (ms.empty()) return {};
  std::sort(ms.begin(), ms.end());
  std::size_t p99 = (ms.size() * 99 + 99) / 100 - 1;
  return {ms[ms.size() / 2], ms[std::min(p99, ms.size() - 1)], ms.back(), ms.size()};
}

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The probe: a local client's hello and list, sent together, until both
// answers are back, in ms.
double round_trip(Conn& c) {
  const auto start = Clock::now();
  c.send(msg::Hello{{1}});
  c.send(msg::List{});
  c.expect("welcome");
  c.expect("listed");
  return ms_since(start);
}

// Time between two probes, so that they sample the whole of a case.
constexpr auto PROBE_GAP = 2ms;
// No case runs longer than this.
constexpr auto CASE_LIMIT = 120s;

// Probes until `done` is set by the work running meanwhile (or the case's
// limit has passed); its waits.
std::vector<double> probe_until(const Runtime& runtime, const std::atomic<bool>& done) {
  Conn c = Conn::connect(runtime.daemon_socket());
  std::vector<double> ms;
  const auto deadline = Clock::now() + CASE_LIMIT;
  while (!done && Clock::now() < deadline) {
    ms.push_back(round_trip(c));
    std::this_thread::sleep_for(PROBE_GAP);
  }
  return ms;
}

// Runs `flood` on a thread of its own while probing; the probe's waits.
template <class Flood>
Spread probe_during(const Runtime& runtime, Flood&& flood) {
  std::atomic<bool> done{false};
  std::exception_ptr failed;
  std::thread flooder([&] {
    try {
      flood();
    } catch (...) {
      failed = std::current_exception();
    }
    done = true;
  });
  std::vector<double> ms;
  try {
    ms = probe_until(runtime, done);
  } catch (...) {
    flooder.join();
    throw;
  }
  flooder.join();
  if (failed) std::rethrow_exception(failed);
  return spread_of(std::move(ms));
}

// Sends every text of `texts` in turn, `frames` in all, each as fast as the
// connection takes it, and waits for the answers to all of them (one each).
template <class C>
void flood(C& conn, const std::vector<std::string>& texts, std::size_t frames) {
  std::size_t answered = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    conn.send(texts[i % texts.size()]);
    answered += conn.drain();
  }
  while (answered < frames) {
    conn.recv();
    ++answered;
  }
}

// Bytes a process has written so far ("wchar" of /proc/PID/io); -1 when
// that cannot be read.
double written_bytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("wchar:")) return std::stod(line.substr(6));
  }
  return -1;
}

struct Stall {
  Spread waits;
  double cpu_s = 0;     // the daemon's, while the shim streamed
  double bytes = 0;     // what the shim wrote meanwhile
  double seconds = 0;   // until the shim stopped writing
  bool cut = false;     // the limit ended it, not the shim
};

// Payload of the frames the stalled browsers are sent: as large as the
// frame cap allows with room for the JSON text.
constexpr std::size_t STALL_PAYLOAD = 8 * 1024 * 1024 - 8 * 1024;
// The daemon closes a browser that has not answered its pings within 15 s.
constexpr auto STALL_LIMIT = 12s;

// `browsers` browsers attach to the session, each asking for `frames` frames
// of STALL_PAYLOAD bytes, and never read; the probe runs until the shim has
// written less than a mebibyte in half a second.
Stall stalled(const Runtime& runtime, std::size_t browsers, std::size_t frames) {
  const pid_t daemon = g_daemon.load(), shim = g_shim.load();
  std::vector<WsConn> open;
  open.reserve(browsers);
  for (std::size_t i = 0; i < browsers; ++i) open.push_back(open_browser());
  Conn probe = Conn::connect(runtime.daemon_socket());
  round_trip(probe);

  Stall st;
  const double cpu_before = cpu_seconds(daemon);
  const double written_before = written_bytes(shim);
  const auto start = Clock::now();
  for (auto& b : open) b.send(attach_json({"stream", std::to_string(STALL_PAYLOAD), std::to_string(frames)}));
  std::vector<double> ms;
  double written = written_before;
  auto last_growth = Clock::now();
  while (Clock::now() - last_growth < 500ms) {
    if (Clock::now() - start > STALL_LIMIT) {
      st.cut = true;
      break;
    }
    ms.push_back(round_trip(probe));
    std::this_thread::sleep_for(PROBE_GAP);
    // The shim also answers the lists the daemon asks it for on behalf of
    // the probe: only a mebibyte counts as streaming.
    if (double now = written_bytes(shim); now >= written + 1048576.0) {
      written = now;
      last_growth = Clock::now();
    }
  }
  st.seconds = std::chrono::duration<double>(last_growth - start).count();
  st.cpu_s = cpu_seconds(daemon) - cpu_before;
  st.bytes = written_bytes(shim) - written_before;
  st.waits = spread_of(std::move(ms));
  return st;
}

void print_spread(const char* label, const Spread& s, const Spread& idle) {
  std::printf("  %-44s %8.2f %8.2f %8.2f %7zu   %6.1fx %6.1fx %6.1fx\n", label, s.p50, s.p99, s.max, s.n,
              s.p50 / idle.p50, s.p99 / idle.p99, s.max / idle.max);
}

void fairness(const Options& o, const Runtime& runtime) {
  std::size_t versions = 0, numbers = 0;
  const std::string hello = filled_json(R"({"type":"hello","versions":[)", "]}", versions);
  const std::string list = filled_json(R"({"type":"list","unknown":[)", "]}", numbers);

  std::printf("\nfairness: another local client's hello+list round trip, ms (and x the idle figures)\n");
  std::printf("  %-44s %8s %8s %8s %7s   %7s %6s %6s\n", "while", "p50", "p99", "max", "rounds", "p50", "p99",
              "max");
  std::vector<double> quiet;
  {
    Conn c = Conn::connect(runtime.daemon_socket());
    for (std::size_t i = 0; i < 500; ++i) {
      quiet.push_back(round_trip(c));
      std::this_thread::sleep_for(PROBE_GAP);
    }
  }
  const Spread idle = spread_of(std::move(quiet));
  print_spread("nothing else (idle)", idle, idle);

  const Spread local = probe_during(runtime, [&] {
    Conn c = Conn::connect(runtime.daemon_socket());
    flood(c, {hello}, o.floods);
  });
  const std::string local_label = "a local client sends " + std::to_string(o.floods) + " hellos of 8 MiB";
  print_spread(local_label.c_str(), local, idle);

  const Spread web = probe_during(runtime, [&] {
    WsConn w = WsConn::open(g_endpoint, ORIGIN);
    flood(w, {hello, list}, o.floods);
  });
  const std::string web_label = "a browser sends " + std::to_string(o.floods) + " hello/list of 8 MiB";
  print_spread(web_label.c_str(), web, idle);
  std::printf("  (hello: %zu versions; list: %zu numbers in an unknown member)\n", versions, numbers);

  const std::size_t many = 32;
  const Stall all = stalled(runtime, many, o.stall_frames);
  const Stall one = stalled(runtime, 1, many * o.stall_frames);
  const std::string all_label = std::to_string(many) + " browsers stalled, " + std::to_string(o.stall_frames) +
                                " frames each";
  const std::string one_label = "1 browser stalled, " + std::to_string(many * o.stall_frames) + " frames";
  print_spread(all_label.c_str(), all.waits, idle);
  print_spread(one_label.c_str(), one.waits, idle);
  std::printf("  (frames of %zu bytes, 8 MiB - 8 KiB, from the session's shim to browsers that never read)\n",
              STALL_PAYLOAD);
  auto per_mib = [](const Stall& s) { return s.bytes > 0 ? s.cpu_s * 1e6 / (s.bytes / 1048576.0) : 0; };
  for (const auto* s : {&all, &one}) {
    std::printf("  %-44s %8.1f MiB from the shim in %.2f s%s, daemon CPU %.2f s: %.1f us per MiB\n",
                s == &all ? all_label.c_str() : one_label.c_str(), s->bytes / 1048576.0, s->seconds,
                s->cut ? " (cut at the limit)" : "", s->cpu_s, per_mib(*s));
  }
  std::printf("  %-44s %8.2fx daemon CPU per relayed byte, %zu browsers / 1\n", "", per_mib(all) / per_mib(one),
              many);
}

// ---- the run -------------------------------------------------------------

void print_node_skip() {
  std::printf("  %-16s %-14s skipped: %s\n", "", "node ws", g_node_missing.c_str());
}

void print_rates(const char* label, const Rate (&r)[PATH_COUNT], bool daemon) {
  for (Path p : PATHS) {
    if (!measured(p, daemon)) continue;
    const Rate& x = r[static_cast<int>(p)];
    std::printf("  %-16s %-14s %10.1f %12.0f\n", p == Path::Direct ? label : "", name_of(p), x.mb_per_s,
                x.frames_per_s);
  }
  auto ratio = [&](const char* name, Path a, Path b) {
    const Rate& x = r[static_cast<int>(a)];
    const Rate& y = r[static_cast<int>(b)];
    std::printf("  %-16s %-14s %9.2fx %11.2fx\n", "", name, x.mb_per_s / y.mb_per_s,
                x.frames_per_s / y.frames_per_s);
  };
  if (daemon) {
    ratio("daemon/relay", Path::Daemon, Path::Relay);
    ratio("daemon/direct", Path::Daemon, Path::Direct);
    ratio("ws/unix", Path::Web, Path::Daemon);
    ratio("ws/relay", Path::Web, Path::Relay);
    if (measured(Path::Node, daemon)) ratio("ws/node", Path::Web, Path::Node);
  } else {
    ratio("relay/direct", Path::Relay, Path::Direct);
  }
  if (!measured(Path::Node, daemon)) print_node_skip();
}

void run(const Options& o, const Runtime& runtime) {
  const bool daemon = !o.daemon.empty();
  if (daemon) {
    start_daemon(o, runtime);
    // The first attach makes the daemon start the shim.
    Client c = open_client(Path::Daemon, runtime);
    c.conn->send(attach_json({"echo"}));
    std::uint8_t key = 'k';
    c.conn->send(json_of(msg::Write{{SESSION}}), {&key, 1});
    Frame f = c.conn->recv();
    if (!is_output(f)) not_output(f);
  } else {
    launch_shim(o.shim, runtime, SESSION, attach_json({"echo"}));
  }
  const double idle_rss = daemon ? memory_mib(g_daemon.load(), "VmRSS:") : 0;
  if (auto shims = live_shims(runtime); !shims.empty()) g_shim = shims.front();
  struct Bridge {
    Helper h;
    ~Bridge() { end_helper(h, 2s); }
  } bridge{start_node_bridge(runtime)};

  std::printf("quern-bench-relay: runtime %s\n", runtime.root.c_str());
  std::printf("  daemon %s\n  shim   %s\n", daemon ? o.daemon.c_str() : "(none: daemon rows skipped)",
              o.shim.c_str());
  if (daemon) std::printf("  data plane 127.0.0.1:%u, origin %s\n", g_endpoint.port, ORIGIN.c_str());
  if (g_node.port != 0) std::printf("  node ws bridge 127.0.0.1:%u (%s)\n", g_node.port, QUERN_BENCH_NODE_BRIDGE);
  std::printf("\nthroughput, shim output to client (median of %zu runs)\n", o.runs);
  std::printf("  %-16s %-14s %10s %12s\n", "frames", "path", "MB/s", "frames/s");
  const struct {
    std::size_t size, count;
  } shapes[] = {{64 * 1024, o.large_count}, {100, o.small_count}};
  for (const auto& s : shapes) {
    Rate r[PATH_COUNT];
    Costs costs[PATH_COUNT];
    for (Path p : PATHS) {
      if (!measured(p, daemon)) continue;
      const int i = static_cast<int>(p);
      if (via_daemon(p)) {
        r[i] = with_daemon_costs(s.count * o.runs, costs[i],
                                 [&] { return stream(p, runtime, s.size, s.count, o.runs); });
      } else {
        r[i] = stream(p, runtime, s.size, s.count, o.runs);
      }
    }
    std::string label = (s.size >= 1024 ? std::to_string(s.size / 1024) + " KiB" : std::to_string(s.size) + " B") +
                        " x " + std::to_string(s.count);
    print_rates(label.c_str(), r, daemon);
    if (daemon) {
      print_costs(costs[static_cast<int>(Path::Daemon)], "frame");
      print_costs(costs[static_cast<int>(Path::Web)], "frame", "ws");
      const Rate two = stream_two(runtime, s.size, s.count);
      const Rate& one = r[static_cast<int>(Path::Daemon)];
      std::printf("  %-16s %-14s %10.1f %12.0f (%.2fx one client)\n", "", "2 clients, sum",
                  two.mb_per_s, two.frames_per_s, two.mb_per_s / one.mb_per_s);
    }
  }

  std::printf("\nkeystroke round trip, 1 byte written and echoed as output (%zu echoes)\n", o.echoes);
  std::printf("  %-14s %12s %12s\n", "path", "median us", "p99 us");
  Latency l[PATH_COUNT];
  Costs echo_costs[PATH_COUNT];
  for (Path p : PATHS) {
    if (!measured(p, daemon)) continue;
    const int i = static_cast<int>(p);
    if (via_daemon(p)) {
      l[i] = with_daemon_costs(o.echoes + ECHO_WARM_UP, echo_costs[i], [&] { return echo(p, runtime, o.echoes); });
    } else {
      l[i] = echo(p, runtime, o.echoes);
    }
    std::printf("  %-14s %12.1f %12.1f\n", name_of(p), l[i].median_us, l[i].p99_us);
  }
  auto ratio = [&](const char* name, Path a, Path b) {
    const Latency& x = l[static_cast<int>(a)];
    const Latency& y = l[static_cast<int>(b)];
    std::printf("  %-14s %11.2fx %11.2fx\n", name, x.median_us / y.median_us, x.p99_us / y.p99_us);
  };
  ratio("relay/direct", Path::Relay, Path::Direct);
  if (daemon) {
    ratio("daemon/direct", Path::Daemon, Path::Direct);
    ratio("daemon/relay", Path::Daemon, Path::Relay);
    ratio("ws/unix", Path::Web, Path::Daemon);
    ratio("ws/relay", Path::Web, Path::Relay);
    if (measured(Path::Node, daemon)) ratio("ws/node", Path::Web, Path::Node);
  }
  if (!measured(Path::Node, daemon)) std::printf("  %-14s skipped: %s\n", "node ws", g_node_missing.c_str());
  if (daemon) {
    print_costs(echo_costs[static_cast<int>(Path::Daemon)], "keystroke");
    print_costs(echo_costs[static_cast<int>(Path::Web)], "keystroke", "ws");
    pty_cases({.daemon = o.daemon, .session = o.session, .megabytes = o.pty_mb, .echoes = o.echoes, .runs = o.runs});
    large_json(runtime);
    fairness(o, runtime);
    pinning(runtime, idle_rss);
    if (pid_t pid = g_daemon.load(); pid > 0) {
      std::printf("\ndaemon memory: peak %.1f MiB, now %.1f MiB\n", memory_mib(pid, "VmHWM:"),
                  memory_mib(pid, "VmRSS:"));
    }
  }
  std::fflush(stdout);
}

void clean_up(const Runtime& runtime) {
  stop_shims(runtime, 3s);
  g_shim = -1;
  if (pid_t d = g_daemon.exchange(-1); d > 0) stop_child(d, 10s);
  std::error_code ec;
  std::filesystem::remove_all(runtime.root, ec);
}

std::size_t count_arg(const char* flag, const char* value) {
  char* end = nullptr;
  unsigned long long n = value ? std::strtoull(value, &end, 10) : 0;
  if (!value || *end != '\0' || n == 0) throw std::runtime_error(std::string(flag) + " needs a positive count");
  return static_cast<std::size_t>(n);
}

Options parse(int argc, char** argv) {
  Options o;
#ifdef QUERN_BENCH_DAEMON
  o.daemon = QUERN_BENCH_DAEMON;
#endif
  o.shim = QUERN_BENCH_SHIM;
#ifdef QUERN_BENCH_SESSION
  o.session = QUERN_BENCH_SESSION;
#endif
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--daemon" && next) o.daemon = argv[++i];
    else if (a == "--no-daemon") o.daemon.clear();
    else if (a == "--shim" && next) o.shim = argv[++i];
    else if (a == "--session" && next) o.session = argv[++i];
    else if (a == "--pty-mb") o.pty_mb = count_arg(argv[i], next), ++i;
    else if (a == "--large") o.large_count = count_arg(argv[i], next), ++i;
    else if (a == "--small") o.small_count = count_arg(argv[i], next), ++i;
    else if (a == "--echoes") o.echoes = count_arg(argv[i], next), ++i;
    else if (a == "--runs") o.runs = count_arg(argv[i], next), ++i;
    else if (a == "--floods") o.floods = count_arg(argv[i], next), ++i;
    else if (a == "--stall-frames") o.stall_frames = count_arg(argv[i], next), ++i;
    else {
      throw std::runtime_error(
          "usage: quern-bench-relay [--daemon PATH | --no-daemon] [--shim PATH] [--session PATH] [--large N] "
          "[--small N] [--echoes N] [--runs N] [--floods N] [--stall-frames N] [--pty-mb N]");
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  Options options;
  try {
    options = parse(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 2;
  }

  char dir[] = "/tmp/quern-bench-XXXXXX";
  if (::mkdtemp(dir) == nullptr) {
    std::cerr << "quern-bench-relay: mkdtemp: " << std::strerror(errno) << std::endl;
    return 1;
  }
  const Runtime runtime{dir};
  // Every thread started from here on leaves these signals to the watcher.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, sig);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(watch_signals, signals).detach();

  int status = 0;
  try {
    run(options, runtime);
  } catch (const std::exception& e) {
    if (g_signal == 0) std::cerr << "quern-bench-relay: " << e.what() << std::endl;
    status = 1;
  }
  clean_up(runtime);
  if (int sig = g_signal.load(); sig != 0) {
    std::cerr << "quern-bench-relay: interrupted" << std::endl;
    return 128 + sig;
  }
  return status;
}
