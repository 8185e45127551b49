#include "registry.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_shim.hpp"
#include "quern_test_support/runtime.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/json_writer.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/manifest.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/socket.hpp"
#include "timings.hpp"

namespace {

namespace fs = std::filesystem;
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using quern_fakes::Behaviour;
using quern_fakes::FakeShim;
using quern_fakes::JammedSocket;
using quern_protocol::Bytes;
using quernd::registry::Ownership;
using quernd::registry::Probe;
using quernd::registry::Registry;
using quernd::Timings;
using quernd::supervisor::TreeRoot;
using PtyId = msg::PtyId;
using quern_test_support::dead_socket;
using quern_test_support::read_file;

const std::string BOOT = "boot-of-this-test";

// The product's timings with the probe, reply or report limit shortened, for
// a test that waits that limit out.
Timings short_probe() {
  Timings t = Timings::product();
  t.probe = 500ms;
  return t;
}
Timings short_reply() {
  Timings t = Timings::product();
  t.reply = 500ms;
  return t;
}
Timings short_report() {
  Timings t = Timings::product();
  t.report = 1s;
  return t;
}

// What a session's manifest says about its shim.
enum class Man { None, Unreadable, Alive, Stale, OtherBoot, NoBootId };
// What is found at a socket path.
enum class Sock { None, DeadFile, Listening, AnswersListed, Jammed };

// Starts `args`; in a process group of its own when `own_group`, as a shim
// that has left the daemon's group.
pid_t spawn(std::vector<std::string> args, bool own_group = false) {
  return quern_test_support::spawn({.argv = std::move(args), .own_group = own_group});
}

bool runs(pid_t pid) { return ::kill(pid, 0) == 0; }

std::string script(const char* name) { return (quern_fakes::scripts_dir() / name).native(); }

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // as the daemon does for its whole life
    for (const char* v : {"QUERN_SESSION_BIN", "QUERN_FAKE_REPORT", "QUERN_FAKE_RECORD"})
      ::unsetenv(v);
  }
  void TearDown() override {
    for (pid_t pid : children.held()) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    for (const char* v : {"QUERN_SESSION_BIN", "QUERN_FAKE_REPORT", "QUERN_FAKE_RECORD"})
      ::unsetenv(v);
  }

  Registry registry(std::optional<std::string> boot = BOOT, const Timings& timings = Timings::product()) {
    return Registry(dir.runtime(), std::move(boot), children, timings);
  }
  fs::path socket_of(const std::string& id) { return dir.runtime().session_socket(PtyId{id}); }
  fs::path manifest_of(const std::string& id) { return dir.runtime().session_manifest(PtyId{id}); }

  // The manifest of a session whose shim is this test process.
  boost::json::object manifest(const std::string& id, Man kind, const fs::path& recorded) {
    auto m = quern_fakes::manifest_json(id, ::getpid(), recorded, BOOT);
    if (kind == Man::Stale) {
      // The same pid, but another process than the one recorded.
      auto& secs = m["started_at"].as_object()["secs"];
      secs = secs.as_int64() + 1;
    } else if (kind == Man::OtherBoot) {
      m["boot_id"] = "an-earlier-boot";
    } else if (kind == Man::NoBootId) {
      m["boot_id"] = "";
    }
    return m;
  }

  // Lays out one session: its manifest at the computed name, recording the
  // socket `recorded` (the computed name when none), and what is found there.
  void lay_out(const std::string& id, Man man, Sock sock,
               std::optional<fs::path> recorded = std::nullopt) {
    fs::path socket = recorded.value_or(socket_of(id));
    if (man == Man::Unreadable) {
      quern_fakes::write_file(manifest_of(id), "{\"id\": \"truncated");
    } else if (man != Man::None) {
      quern_fakes::write_file(manifest_of(id), boost::json::serialize(manifest(id, man, socket)));
    }
    place(socket, sock);
  }

  void place(const fs::path& socket, Sock sock) {
    switch (sock) {
      case Sock::None:
        break;
      case Sock::DeadFile:
        dead_socket(socket);
        break;
      case Sock::Listening:
        shims.push_back(std::make_unique<FakeShim>(io.get_executor(), socket));
        break;
      case Sock::AnswersListed:
        shims.push_back(std::make_unique<FakeShim>(io.get_executor(), socket,
                                                   Behaviour{.answer = msg::Listed{}}));
        break;
      case Sock::Jammed:
        jammed.push_back(std::make_unique<JammedSocket>(socket));
        break;
    }
  }

  template <class T>
  T run(boost::asio::awaitable<T> task) {
    return quern_test_support::run(io, std::move(task));
  }

  boost::asio::io_context io;
  quern_test_support::TempRuntime dir;
  quernd::reaper::Children children;
  std::vector<std::unique_ptr<FakeShim>> shims;
  std::vector<std::unique_ptr<JammedSocket>> jammed;
};

// ---- probe ----

struct ProbeCase {
  const char* name;
  Sock at_path;
  std::string path_suffix;  // appended to the sessions directory
  const char* outcome;      // "live", "dead" or the Failed error's text
};
void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }

class ProbeTest : public RegistryTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, TellsLiveDeadAndFailed) {
  const auto& c = GetParam();
  fs::path path = dir.sessions().native() + c.path_suffix;
  if (c.path_suffix == "/file/x.sock") quern_fakes::write_file(dir.sessions() / "file", "");
  place(path, c.at_path);

  const auto limit = short_probe().probe;
  auto start = std::chrono::steady_clock::now();
  auto probed = run(quernd::registry::probe(path, limit));
  auto took = std::chrono::steady_clock::now() - start;

  std::string outcome = probed.is<Probe::Live>() ? "live"
                        : probed.is<Probe::Dead>()
                            ? "dead"
                            : std::get<Probe::Failed>(probed.value).error.what();
  EXPECT_EQ(outcome, c.outcome);
  if (c.at_path == Sock::Jammed) {
    EXPECT_GE(took, limit);
    EXPECT_LT(took, limit + 500ms);
  } else {
    EXPECT_LT(took, 500ms);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ProbeTest,
    ::testing::Values(ProbeCase{"no_file", Sock::None, "/x.sock", "dead"},
                      ProbeCase{"socket_file_without_listener", Sock::DeadFile, "/x.sock", "dead"},
                      ProbeCase{"listener", Sock::Listening, "/x.sock", "live"},
                      ProbeCase{"full_backlog", Sock::Jammed, "/x.sock", "connect timed out"},
                      ProbeCase{"parent_is_a_file", Sock::None, "/file/x.sock",
                                "Not a directory (os error 20)"},
                      ProbeCase{"path_too_long", Sock::None, "/" + std::string(120, 'x'),
                                "File name too long (os error 36)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- ownership ----

struct OwnershipCase {
  const char* name;
  std::optional<std::string> daemon_boot;
  Man manifest;
  bool shim_gone;  // the recorded shim pid has no process
  Ownership verdict;
};
void PrintTo(const OwnershipCase& c, std::ostream* os) { *os << c.name; }

class OwnershipTest : public RegistryTest, public ::testing::WithParamInterface<OwnershipCase> {};

TEST_P(OwnershipTest, JudgesBootThenShimStartTime) {
  const auto& c = GetParam();
  auto json = manifest("s", c.manifest, socket_of("s"));
  if (c.shim_gone) {
    pid_t child = spawn({"true"});
    ::waitpid(child, nullptr, 0);
    json["shim_pid"] = child;
  }
  auto m = quern_session::manifest::Manifest::decode(boost::json::serialize(json));
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(registry(c.daemon_boot).ownership(*m), c.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, OwnershipTest,
    ::testing::Values(OwnershipCase{"daemon_without_boot_id", std::nullopt, Man::Alive, false,
                                    Ownership::NoBootId},
                      OwnershipCase{"manifest_with_empty_boot_id", BOOT, Man::NoBootId, false,
                                    Ownership::NoBootId},
                      OwnershipCase{"other_boot_even_with_the_shim_running", BOOT, Man::OtherBoot,
                                    false, Ownership::OtherBoot},
                      OwnershipCase{"shim_runs_since_the_recorded_time", BOOT, Man::Alive, false,
                                    Ownership::Alive},
                      OwnershipCase{"pid_reused_by_another_process", BOOT, Man::Stale, false,
                                    Ownership::Stale},
                      OwnershipCase{"shim_gone", BOOT, Man::Alive, true, Ownership::Stale}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- unlink and discard ----

TEST_F(RegistryTest, UnlinkRemovesBothFilesAndToleratesMissingOnes) {
  lay_out("s", Man::Alive, Sock::DeadFile);
  registry().unlink(PtyId{"s"});
  EXPECT_FALSE(fs::exists(socket_of("s")));
  EXPECT_FALSE(fs::exists(manifest_of("s")));
  registry().unlink(PtyId{"s"});  // nothing left: nothing happens
  registry().unlink(PtyId{"never"});
}

struct DiscardCase {
  const char* name;
  int recorded_offset;  // seconds added to the shim's real start time
  bool recorded;        // whether a start time is given at all
  bool killed;
  bool own_group = true;  // false: in the daemon's (this test's) process group
};
void PrintTo(const DiscardCase& c, std::ostream* os) { *os << c.name; }

class DiscardTest : public RegistryTest, public ::testing::WithParamInterface<DiscardCase> {};

TEST_P(DiscardTest, KillsOnlyTheRecordedShimAndRemovesOnlyItsFiles) {
  // A pid whose process is not the one recorded is never signalled, and its
  // session keeps its files; the recorded shim is killed, in the daemon's
  // own process group too, and only then loses them.
  const auto& c = GetParam();
  lay_out("s", Man::Alive, Sock::DeadFile);
  pid_t shim = spawn({"sleep", "30"}, c.own_group);
  auto started = quern_session::procinfo::start_time(shim);
  ASSERT_TRUE(started.has_value());
  started->secs += c.recorded_offset;

  registry().discard(PtyId{"s"}, shim, c.recorded ? started : std::nullopt);

  int status = 0;
  if (c.killed) {
    ASSERT_EQ(::waitpid(shim, &status, 0), shim);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  } else {
    // A signal takes a moment to end its target.
    for (int i = 0; i < 30; ++i) {
      ASSERT_EQ(::waitpid(shim, &status, WNOHANG), 0) << "the process was signalled";
      std::this_thread::sleep_for(10ms);
    }
    ::kill(shim, SIGKILL);
    ::waitpid(shim, nullptr, 0);
  }
  EXPECT_EQ(fs::exists(socket_of("s")), !c.killed);
  EXPECT_EQ(fs::exists(manifest_of("s")), !c.killed);
}

INSTANTIATE_TEST_SUITE_P(Shims, DiscardTest,
                         ::testing::Values(DiscardCase{"recorded_shim", 0, true, true},
                                           DiscardCase{"pid_now_another_process", 1, true, false},
                                           DiscardCase{"no_recorded_start_time", 0, false, false},
                                           DiscardCase{"in_the_daemons_group", 0, true, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- sweep ----

TEST_F(RegistryTest, SweepActsOnEachVerdictAndProbeOutcome) {
  struct Row {
    std::string id;
    Man man;
    Sock sock;
    bool manifest_stays;
    bool socket_stays;
    bool handed_back;
  };
  const std::vector<Row> rows{
      {"unreadable", Man::Unreadable, Sock::DeadFile, false, true, false},
      {"other-boot", Man::OtherBoot, Sock::Listening, false, false, false},
      {"no-boot-id", Man::NoBootId, Sock::DeadFile, true, true, false},
      {"alive-live", Man::Alive, Sock::Listening, true, true, false},
      {"stale-live", Man::Stale, Sock::Listening, true, true, false},
      {"alive-failed", Man::Alive, Sock::Jammed, true, true, false},
      {"stale-dead", Man::Stale, Sock::DeadFile, false, false, false},
      {"alive-dead", Man::Alive, Sock::None, true, false, true},
  };
  for (const auto& r : rows) lay_out(r.id, r.man, r.sock);
  // The recorded socket is probed, but only the computed names are removed.
  fs::path elsewhere = dir.runtime().root / "elsewhere.sock";
  lay_out("stale-elsewhere", Man::Stale, Sock::DeadFile, elsewhere);
  dead_socket(socket_of("stale-elsewhere"));

  auto handed_back = run(registry(BOOT, short_probe()).sweep());

  for (const auto& r : rows) {
    SCOPED_TRACE(r.id);
    EXPECT_EQ(fs::exists(manifest_of(r.id)), r.manifest_stays);
    EXPECT_EQ(fs::exists(fs::symlink_status(socket_of(r.id))), r.socket_stays);
  }
  EXPECT_FALSE(fs::exists(manifest_of("stale-elsewhere")));
  EXPECT_FALSE(fs::exists(socket_of("stale-elsewhere")));
  EXPECT_TRUE(fs::exists(elsewhere));

  ASSERT_EQ(handed_back.size(), 1u);
  EXPECT_EQ(handed_back[0].first, PtyId{"alive-dead"});
  const TreeRoot& root = handed_back[0].second;
  EXPECT_EQ(root.shim_pid, ::getpid());
  EXPECT_EQ(root.started_at, quern_session::procinfo::start_time(::getpid()));

  // The other boot's shim was not probed; a live one got no frame.
  auto& other_boot = *shims[0];
  auto& alive_live = *shims[1];
  EXPECT_EQ(other_boot.accepted(), 0u);
  EXPECT_EQ(alive_live.accepted(), 1u);
  EXPECT_TRUE(alive_live.received().empty());
}

TEST_F(RegistryTest, SweepWithoutBootIdRemovesOnlyUnreadableManifests) {
  lay_out("unreadable", Man::Unreadable, Sock::None);
  lay_out("stale-dead", Man::Stale, Sock::DeadFile);

  auto handed_back = run(registry(std::nullopt).sweep());

  EXPECT_TRUE(handed_back.empty());
  EXPECT_FALSE(fs::exists(manifest_of("unreadable")));
  EXPECT_TRUE(fs::exists(manifest_of("stale-dead")));
  EXPECT_TRUE(fs::exists(socket_of("stale-dead")));
}

TEST_F(RegistryTest, SweepWithoutSessionsDirectoryDoesNothing) {
  fs::remove(dir.sessions());
  EXPECT_TRUE(run(registry().sweep()).empty());
  EXPECT_FALSE(fs::exists(dir.sessions()));
}

// ---- open ----

struct OpenCase {
  const char* name;
  Man man;
  Sock sock;
  bool launch;
  std::string outcome;  // "greeted", or the error's text
  bool manifest_stays;
  bool socket_stays;
};
void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class OpenTest : public RegistryTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenTest, FollowsTheFirstProbeAndTheSessionFiles) {
  const auto& c = GetParam();
  // A started shim shows itself by its report.
  ::setenv("QUERN_SESSION_BIN", script("bad-line").c_str(), 1);
  lay_out("s", c.man, c.sock);
  std::optional<Bytes> launch;
  if (c.launch) launch = Bytes::copy_from(R"({"type":"attach","id":"s","cols":80,"rows":24})");

  auto opened = run(registry(BOOT, short_probe()).open(PtyId{"s"}, launch));

  EXPECT_EQ(opened ? std::string("greeted") : opened.error().what(), c.outcome);
  EXPECT_EQ(fs::exists(manifest_of("s")), c.manifest_stays);
  EXPECT_EQ(fs::exists(fs::symlink_status(socket_of("s"))), c.socket_stays);
  bool started = c.outcome == "spawning the shim: cannot open a pty";
  EXPECT_EQ(children.held().size(), started ? 1u : 0u);
}

const std::string NO_SUCH = "no such pty";
const std::string STARTED = "spawning the shim: cannot open a pty";
const std::string ALIVE =
    "pty's shim (pid " + std::to_string(::getpid()) + ") is alive but its socket does not answer";
const std::string NO_BOOT =
    "cannot tell whether the pty is alive: no boot id to tell the pty's shim from a stranger";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, OpenTest,
    ::testing::Values(
        // Live: the manifest is not even read.
        OpenCase{"live", Man::Unreadable, Sock::Listening, false, "greeted", true, true},
        OpenCase{"live_with_launch", Man::Stale, Sock::Listening, true, "greeted", true, true},
        OpenCase{"live_wrong_answer", Man::None, Sock::AnswersListed, true,
                 "peer answered Listed { entries: [] } where Welcome was expected", false, true},
        OpenCase{"failed", Man::Stale, Sock::Jammed, true,
                 "cannot tell whether the pty is alive: connect timed out", true, true},
        // Dead, no readable manifest.
        OpenCase{"socket_file_only", Man::None, Sock::DeadFile, false, NO_SUCH, false, false},
        OpenCase{"socket_file_only_with_launch", Man::None, Sock::DeadFile, true, STARTED, false,
                 false},
        OpenCase{"nothing", Man::None, Sock::None, false, NO_SUCH, false, false},
        OpenCase{"nothing_with_launch", Man::None, Sock::None, true, STARTED, false, false},
        OpenCase{"unreadable_manifest_only", Man::Unreadable, Sock::None, false, NO_SUCH, true,
                 false},
        OpenCase{"unreadable_manifest_and_socket_file", Man::Unreadable, Sock::DeadFile, false,
                 NO_SUCH, false, false},
        // Dead, judged by the manifest.
        OpenCase{"stale", Man::Stale, Sock::DeadFile, false, NO_SUCH, false, false},
        OpenCase{"stale_with_launch", Man::Stale, Sock::DeadFile, true, STARTED, false, false},
        OpenCase{"other_boot", Man::OtherBoot, Sock::DeadFile, false, NO_SUCH, false, false},
        OpenCase{"other_boot_with_launch", Man::OtherBoot, Sock::DeadFile, true, STARTED, false,
                 false},
        OpenCase{"alive", Man::Alive, Sock::DeadFile, false, ALIVE, true, true},
        OpenCase{"alive_with_launch", Man::Alive, Sock::DeadFile, true, ALIVE, true, true},
        OpenCase{"no_boot_id_with_launch", Man::NoBootId, Sock::DeadFile, true, NO_BOOT, true,
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, OpenGivesUpAfterAHundredDeadProbesAndLeavesTheShimRunning) {
  ::setenv("QUERN_SESSION_BIN", script("ok-unbound").c_str(), 1);
  auto start = std::chrono::steady_clock::now();

  auto opened = run(registry().open(PtyId{"s"}, Bytes::copy_from("{}")));

  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().what(), "no such pty");
  EXPECT_GE(took, 100 * 20ms);
  EXPECT_LT(took, 4s);
  ASSERT_EQ(children.held().size(), 1u);
  EXPECT_TRUE(runs(children.held()[0])) << "the shim was killed";
}

TEST_F(RegistryTest, OpenProbesUntilTheStartedShimListens) {
  // "err: bind" counts as success: the open goes on probing, and greets
  // whatever comes to listen on the computed socket.
  ::setenv("QUERN_SESSION_BIN", script("err-bind").c_str(), 1);
  boost::asio::steady_timer later(io, 300ms);
  later.async_wait([&](auto) { place(socket_of("s"), Sock::Listening); });

  auto opened = run(registry().open(PtyId{"s"}, Bytes::copy_from("{}")));

  ASSERT_TRUE(opened.has_value()) << opened.error().what();
  ASSERT_EQ(shims.size(), 1u);
  EXPECT_EQ(shims[0]->received(), std::vector<msg::Message>{msg::Hello{{1}}});
}

// ---- spawn_shim ----

struct ReportCase {
  const char* name;
  std::string printed;  // printf %b escapes
  std::string error;    // empty: success
};
void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class ReportTest : public RegistryTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(ReportTest, JudgesTheFirstLine) {
  const auto& c = GetParam();
  ::setenv("QUERN_SESSION_BIN", script("report").c_str(), 1);
  ::setenv("QUERN_FAKE_REPORT", c.printed.c_str(), 1);

  auto spawned = run(registry().spawn_shim(PtyId{"s"}, Bytes::copy_from("{}")));

  EXPECT_EQ(spawned ? std::string() : spawned.error().what(), c.error);
  EXPECT_EQ(children.held().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReportTest,
    ::testing::Values(
        ReportCase{"ok", "ok", ""}, ReportCase{"ok_newline", "ok\\n", ""},
        ReportCase{"ok_padded_crlf", "   ok\\r\\n", ""},
        ReportCase{"ok_unicode_spaces", "\u00a0ok\u2003\\n", ""},
        ReportCase{"ok_then_more_lines", "ok\\nerr: nothing\\n", ""},
        ReportCase{"err_bind", "err: bind", ""},
        ReportCase{"err_bind_with_text", "err: bind: Address already in use\\n", ""},
        ReportCase{"capital_ok", "OK\\n", "spawning the shim: OK"},
        ReportCase{"eight_bytes_of_err_bind", "err: bin\\n", "spawning the shim: err: bin"},
        ReportCase{"longer_word", "okay\\n", "spawning the shim: okay"},
        ReportCase{"bad_line_trimmed", "  no pty here \\r\\n", "spawning the shim: no pty here"},
        ReportCase{"end_of_file", "", "spawning the shim: "},
        ReportCase{"not_utf8", "\\0377ok\\n", "stream did not contain valid UTF-8"},
        ReportCase{"longest_line", std::string(4095, 'x') + "\\n", "spawning the shim: " + std::string(4095, 'x')},
        ReportCase{"line_over_the_limit", std::string(4096, 'x') + "\\n",
                   "spawning the shim: report line longer than 4096 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, AReportLineThatNeverEndsFailsAtTheLimitAtOnce) {
  // A shim that writes without end is refused as soon as its line passes
  // the limit, without buffering more or waiting for the report's time.
  ::setenv("QUERN_SESSION_BIN", script("endless-line").c_str(), 1);
  const auto started = std::chrono::steady_clock::now();
  auto spawned = run(registry().spawn_shim(PtyId{"s"}, Bytes::copy_from("{}")));
  ASSERT_FALSE(spawned.has_value());
  EXPECT_EQ(spawned.error().what(), "spawning the shim: report line longer than 4096 bytes");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(RegistryTest, SpawnFailsWithTheProgramAndTheSystemError) {
  fs::path plain = dir.runtime().root / "not-executable";
  quern_fakes::write_file(plain, "#!/bin/sh\necho ok\n");
  const std::vector<std::pair<std::string, std::string>> rows{
      {"/nonexistent/quern-session", "No such file or directory (os error 2)"},
      {"", "No such file or directory (os error 2)"},
      {plain.native(), "Permission denied (os error 13)"},
  };
  for (const auto& [bin, why] : rows) {
    ::setenv("QUERN_SESSION_BIN", bin.c_str(), 1);
    auto spawned = run(registry().spawn_shim(PtyId{"s"}, Bytes::copy_from("{}")));
    ASSERT_FALSE(spawned.has_value());
    EXPECT_EQ(spawned.error().what(), "spawning the shim: " + bin + ": " + why);
  }
  EXPECT_TRUE(children.held().empty());
}

TEST_F(RegistryTest, SpawnHandsTheShimItsArgumentsRuntimeAndLaunchRecordAsTheyAre) {
  // The record arrives byte for byte and then end of file; the arguments are
  // "--id" and the id; QUERN_RUNTIME_DIR is the registry's root whatever was
  // inherited.
  fs::path record = dir.runtime().root / "record";
  fs::create_directory(record);
  ::setenv("QUERN_SESSION_BIN", script("record").c_str(), 1);
  ::setenv("QUERN_FAKE_RECORD", record.c_str(), 1);
  ::setenv("QUERN_RUNTIME_DIR", "/somewhere/else", 1);
  std::string launch = std::string("{\"type\":\"attach\"}\n\0\xff", 20);
  launch += std::string(200 * 1024, 'x');  // more than a pipe holds at once
  std::string id = "a session id with spaces";

  auto spawned = run(registry().spawn_shim(PtyId{id}, Bytes::copy_from(launch)));
  ::unsetenv("QUERN_RUNTIME_DIR");

  ASSERT_TRUE(spawned.has_value()) << spawned.error().what();
  EXPECT_EQ(read_file(record / "args"), "--id\n" + id + "\n");
  EXPECT_EQ(read_file(record / "runtime_dir"), dir.runtime().root.native());
  EXPECT_TRUE(read_file(record / "stdin") == launch) << "the launch record changed on its way";

  auto empty = run(registry().spawn_shim(PtyId{id}, Bytes()));
  ASSERT_TRUE(empty.has_value()) << empty.error().what();
  EXPECT_EQ(read_file(record / "stdin"), "");
}

TEST_F(RegistryTest, SpawnStopsWaitingForTheReportAtTheReportLimit) {
  ::setenv("QUERN_SESSION_BIN", script("late").c_str(), 1);
  const Timings timings = short_report();
  auto start = std::chrono::steady_clock::now();

  auto spawned = run(registry(BOOT, timings).spawn_shim(PtyId{"s"}, Bytes::copy_from("{}")));

  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(spawned.has_value());
  EXPECT_EQ(spawned.error().what(), "spawning the shim: shim did not report in time");
  EXPECT_GE(took, timings.report);
  EXPECT_LT(took, timings.report + 1s);
  ASSERT_EQ(children.held().size(), 1u);
  EXPECT_TRUE(runs(children.held()[0])) << "the shim was killed";
}

TEST_F(RegistryTest, SpawnGivesUpHandingTheLaunchToAShimThatNeverReadsAtTheReportLimit) {
  // A launch record larger than a pipe holds at once, to a shim that never
  // reads its standard input: the write ends after the report's limit.
  ::setenv("QUERN_SESSION_BIN", script("deaf").c_str(), 1);
  const std::string launch = R"({"type":"attach","id":"s","env":{"BIG":")" + std::string(256 * 1024, 'x') + R"("}})";
  const Timings timings = short_report();
  auto start = std::chrono::steady_clock::now();

  auto spawned = run(registry(BOOT, timings).spawn_shim(PtyId{"s"}, Bytes::copy_from(launch)));

  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(spawned.has_value());
  EXPECT_EQ(spawned.error().what(), "spawning the shim: handing the shim its launch: write timed out");
  EXPECT_GE(took, timings.report);
  EXPECT_LT(took, timings.report + 1s);
  ASSERT_EQ(children.held().size(), 1u);
  EXPECT_TRUE(runs(children.held()[0])) << "the shim was killed";
}

// ---- list ----

TEST_F(RegistryTest, ListOfNoSessionsIsEmpty) { EXPECT_TRUE(run(registry().list()).empty()); }

TEST_F(RegistryTest, ListGathersAnsweringShimsInDirectoryOrderAndLeavesTheOthersOut) {
  auto entry = [](const char* id, std::uint64_t seq) {
    return msg::PtyEntry{{id}, {1, seq}, std::nullopt};
  };
  const std::map<std::string, std::vector<msg::PtyEntry>> answers{
      {"two-entries", {entry("a", 1), entry("b", 2)}},
      {"one-entry", {entry("c", 3)}},
  };
  for (const auto& [id, entries] : answers) {
    lay_out(id, Man::Alive, Sock::None);
    shims.push_back(std::make_unique<FakeShim>(io.get_executor(), socket_of(id),
                                               Behaviour{.list_answer = msg::Listed{entries}}));
  }
  lay_out("silent", Man::Alive, Sock::None);
  shims.push_back(std::make_unique<FakeShim>(io.get_executor(), socket_of("silent"),
                                             Behaviour{.list_answer = std::nullopt}));
  lay_out("wrong-welcome", Man::Alive, Sock::AnswersListed);
  lay_out("stale-dead", Man::Stale, Sock::DeadFile);
  lay_out("alive-dead", Man::Alive, Sock::DeadFile);
  lay_out("unreadable", Man::Unreadable, Sock::DeadFile);

  std::vector<msg::PtyEntry> expected;
  auto order = quern_session::manifest::Manifest::list(dir.runtime());
  ASSERT_TRUE(order.has_value());
  for (const auto& m : order->first)
    if (auto it = answers.find(m.id.text); it != answers.end())
      expected.insert(expected.end(), it->second.begin(), it->second.end());

  const Timings timings = short_reply();
  auto start = std::chrono::steady_clock::now();
  auto entries = run(registry(BOOT, timings).list());
  auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(entries, expected);
  EXPECT_GE(took, timings.reply) << "the silent shim was waited for";
  EXPECT_LT(took, timings.reply + 2s);
  EXPECT_FALSE(fs::exists(manifest_of("stale-dead")));
  EXPECT_FALSE(fs::exists(socket_of("stale-dead")));
  EXPECT_TRUE(fs::exists(manifest_of("alive-dead")));
  EXPECT_TRUE(fs::exists(manifest_of("unreadable")));
  EXPECT_EQ(shims[0]->received(), (std::vector<msg::Message>{msg::Hello{{1}}, msg::List{}}));
}

TEST_F(RegistryTest, TheDaemonsOwnSocketIsNeverProbed) {
  // A manifest that records the daemon's own socket, by its path or by
  // another name of the same file, counts as a failed probe for the listing
  // and the sweep: the daemon is never greeted, nothing is listed or handed
  // back, and the session's files stay, even with no file at that path.
  const fs::path own = dir.runtime().daemon_socket();
  const fs::path hard = dir.runtime().root / "hard.sock";
  const fs::path soft = dir.runtime().root / "soft.sock";
  for (bool listening : {true, false}) {
    SCOPED_TRACE(listening ? "the daemon listens" : "no file at the daemon's socket path");
    shims.clear();
    std::error_code ignored;
    for (const auto& p : {own, hard, soft}) fs::remove(p, ignored);
    std::vector<std::pair<std::string, fs::path>> recorded{{"by-path", own}};
    if (listening) {
      shims.push_back(std::make_unique<FakeShim>(
          io.get_executor(), own, Behaviour{.list_answer = msg::Listed{{msg::PtyEntry{{"me"}, {1, 1}, std::nullopt}}}}));
      fs::create_hard_link(own, hard);
      fs::create_symlink(own, soft);
      recorded.emplace_back("hard-link", hard);
      recorded.emplace_back("symbolic-link", soft);
    }
    // Stale: a probe that found nothing would remove the files.
    for (const auto& [id, path] : recorded) lay_out(id, Man::Stale, Sock::None, path);

    EXPECT_TRUE(run(registry().list()).empty());
    EXPECT_TRUE(run(registry().sweep()).empty());

    if (listening) {
      EXPECT_EQ(shims[0]->accepted(), 0u) << "the daemon's socket was probed";
    }
    for (const auto& [id, path] : recorded) EXPECT_TRUE(fs::exists(manifest_of(id))) << id;
  }
}

// ---- with the real shim ----

TEST_F(RegistryTest, OpensGreetsAndListsASessionOfTheRealShim) {
  // A session with no shim is started by spawning quern-session, greeted,
  // found again on its socket without a second spawn, and listed.
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  fs::path shim_bin = fs::path(exe).replace_filename("quern-session");
  ASSERT_TRUE(fs::exists(shim_bin)) << shim_bin;
  ::setenv("QUERN_SESSION_BIN", shim_bin.c_str(), 1);
  Registry reg(dir.runtime(), children, Timings::product());  // this machine's boot id, as the shim records it
  ASSERT_TRUE(reg.boot_id().has_value());

  msg::Attach attach;
  attach.id = PtyId{"real"};
  attach.cols = 80;
  attach.rows = 24;
  attach.argv = {"/bin/sh", "-c", "sleep 60"};
  auto launch =
      Bytes::copy_from(quern_protocol::json::write_compact(msg::Message(attach).serialize()));
  auto opened = run(reg.open(PtyId{"real"}, launch));
  ASSERT_TRUE(opened.has_value()) << opened.error().what();
  ASSERT_EQ(children.held().size(), 1u);

  auto manifest = reg.manifest(PtyId{"real"});
  ASSERT_TRUE(manifest.has_value());
  EXPECT_EQ(manifest->shim_pid, children.held()[0]);
  EXPECT_EQ(reg.ownership(*manifest), Ownership::Alive);

  auto again = run(reg.open(PtyId{"real"}, launch));
  ASSERT_TRUE(again.has_value()) << again.error().what();
  EXPECT_EQ(children.held().size(), 1u) << "a second shim was started";

  auto entries = run(reg.list());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, PtyId{"real"});
  EXPECT_FALSE(entries[0].exited.has_value());

  ::killpg(manifest->pgid, SIGKILL);
}

}  // namespace
