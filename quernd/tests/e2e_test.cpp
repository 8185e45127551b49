// The daemon run as a process of its own, with the real session shim, in a
// private runtime directory: clients on the daemon socket, sessions with real
// shells, start-up, the pid lock, the sweep of stale sessions and shutdown.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_support.hpp"
#include "manifest_file.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/manifest.hpp"
#include "quern_session/paths.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_testkit/client.hpp"

namespace {

using namespace quernd_e2e;
using namespace std::chrono_literals;
namespace msg = quern_protocol::message;
using quern_protocol::Bytes;
using quern_session::manifest::Manifest;
using quern_session::paths::Runtime;

// A frame holding `json` as its JSON text and no payload.
std::string json_frame(std::string_view json) {
  auto n = static_cast<std::uint32_t>(json.size());
  return raw_frame(4 + n, n, json);
}

std::string version_error(const std::string& offered) {
  return "no protocol version in common: peer speaks " + offered + ", this build [1]";
}

// The live processes whose session id (field 6 of /proc/<pid>/stat) is `sid`.
std::vector<pid_t> members_of_session(pid_t sid) {
  std::vector<pid_t> found;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return found;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    long ppid = 0, pgrp = 0, session = 0;
    rest >> state >> ppid >> pgrp >> session;
    if (session == sid && state != 'Z' && state != 'X') found.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(d);
  return found;
}

// A unix socket that accepts connections (and never answers them) while it lives.
struct Listener {
  int fd = -1;
  explicit Listener(const fs::path& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
      throw std::runtime_error("listen at " + path.native() + ": " + std::strerror(errno));
    }
  }
  ~Listener() { ::close(fd); }
};


TEST_F(E2eTest, HelloIsAnsweredByTheVersionInCommon) {
  // hello with version 1 is welcomed (also after the welcome, where a hello
  // without it is answered and the connection goes on); a first
  // hello without version 1 gets the version error with a null id, and
  // then the connection ends.
  auto& d = start();
  Client c = connect(d);
  must(c.send(msg::Hello{{2}}), "second hello");
  EXPECT_EQ(must(c.recv(), "reply").message, msg::Message(msg::Error{std::nullopt, version_error("[2]")}));
  must(c.send(msg::Hello{{3, 1}}), "third hello");
  EXPECT_EQ(must(c.recv(), "reply").message, msg::Message(msg::Welcome{1}));

  Client refused = connect_raw(d);
  must(refused.send(msg::Hello{{2, 3}}), "hello");
  EXPECT_EQ(must(refused.recv(), "reply").message,
            msg::Message(msg::Error{std::nullopt, version_error("[2, 3]")}));
  EXPECT_TRUE(ended(refused));

  must(c.send(msg::List{}), "list");
  EXPECT_EQ(must(c.recv(), "listed").message, msg::Message(msg::Listed{}));
}

struct BadInput {
  const char* what;
  bool welcomed_first;
  std::string bytes;
};

TEST_F(E2eTest, BadInputEndsOnlyThatConnection) {
  // A malformed frame, an oversized one, JSON that is no message, and any
  // message before the hello end the connection that sent them without an
  // answer (and start nothing); another client of the same daemon goes on.
  const std::string long_id(257, 'x');
  msg::Attach attach{msg::PtyId{"early"}, 80, 24, std::nullopt, true, std::nullopt, {"/bin/sh"}, {}};
  const BadInput cases[] = {
      {"garbage header", false, raw_frame(1, 0, "")},
      {"totalLen over 8 MiB", false, raw_frame(8388609, 2, "{}")},
      {"totalLen over 8 MiB after the welcome", true, raw_frame(8388609, 2, "{}")},
      {"jsonLen beyond totalLen", true, raw_frame(6, 10, "{}")},
      {"not JSON", true, json_frame("hello?")},
      {"a type that names no kind", true, json_frame(R"({"type":"bogus"})")},
      {"a message missing its id", true, json_frame(R"({"type":"write"})")},
      {"an id over 256 bytes", true, json_frame(R"({"id":")" + long_id + R"(","type":"write"})")},
      {"not JSON before hello", false, json_frame("hello?")},
      {"list before hello", false, frame_of(msg::List{})},
      {"attach before hello", false, frame_of(attach)},
  };
  auto& d = start();
  Client good = connect(d);
  for (const auto& b : cases) {
    SCOPED_TRACE(b.what);
    Client bad = b.welcomed_first ? connect(d) : connect_raw(d);
    must(bad.send_bytes(std::span(reinterpret_cast<const std::uint8_t*>(b.bytes.data()), b.bytes.size())), "send");
    EXPECT_TRUE(ended(bad));

    must(good.send(msg::List{}), "list");
    EXPECT_EQ(must(good.recv(5s), "listed").message, msg::Message(msg::Listed{}));
  }
  EXPECT_FALSE(fs::exists(runtime.session_manifest(msg::PtyId{"early"})));
  EXPECT_FALSE(d.exited());
}

TEST_F(E2eTest, AttachStartsAShellAsTheRequestDescribes) {
  // The first attach of a session starts its shim, which runs the request's
  // argv in its cwd with its env; typed input reaches the shell and all of
  // its output comes back, beginning with its first prompt.
  auto& d = start();
  Client c = connect(d);
  fs::path work = dir.path / "work dir";
  fs::create_directory(work);
  msg::Attach request = attach_request("main");
  request.cwd = work.native();
  request.env["QUERN_E2E"] = "v a";

  OutputLog log = attach(c, request);
  EXPECT_TRUE(log.text.starts_with("prompt> ")) << log.text;
  Manifest m = manifest_of("main");
  EXPECT_EQ(m.id, msg::PtyId{"main"});
  EXPECT_TRUE(runs(m.shim_pid, m.started_at));
  EXPECT_NE(m.shim_pid, d.pid());
  EXPECT_TRUE(runs(m.shell_pid, m.shell_started_at));

  type(c, "main", "echo \"<$0|$QUERN_E2E>\"; pwd\n");
  read_until(c, log, "</bin/sh|v a>\r\n" + work.native() + "\r\n");
}

TEST_F(E2eTest, ResizeChangesTheTerminalSize) {
  // The terminal starts with the attach's size and takes a resize's.
  auto& d = start();
  Client c = connect(d);
  OutputLog log = attach(c, attach_request("sized", 91, 27));
  type(c, "sized", "stty size\n");
  read_until(c, log, "27 91\r\n");
  must(c.send(msg::Resize{msg::PtyId{"sized"}, 100, 31, true}), "resize");
  type(c, "sized", "stty size\n");
  read_until(c, log, "31 100\r\n");
}

TEST_F(E2eTest, DetachStopsTheOutputAndAttachBringsItBack) {
  // After detach a connection hears nothing of the session and its input is
  // refused; attaching again, on the same or a new connection, reaches the
  // same shim, which kept running.
  auto& d = start();
  Client a = connect(d);
  OutputLog log_a = attach(a, "kept");
  Manifest first = manifest_of("kept");
  type(a, "kept", "echo o''ne\n");
  read_until(a, log_a, "one\r\n");

  must(a.send(msg::Detach{msg::PtyId{"kept"}}), "detach");
  type(a, "kept", "echo lost\n");
  EXPECT_EQ(next_non_output(a, log_a), msg::Message(msg::Error{msg::PtyId{"kept"}, "not attached"}));

  Client b = connect(d);
  must(b.send(attach_request("kept")), "attach");
  OutputLog log_b{msg::PtyId{"kept"}};
  type(b, "kept", "echo t''wo\n");
  read_until(b, log_b, "two\r\n");
  auto nothing = a.recv(300ms);
  ASSERT_FALSE(nothing) << "output after detach: " << nothing->message.debug();
  EXPECT_EQ(nothing.error().kind, ClientError::Kind::Timeout);

  must(a.send(attach_request("kept")), "attach again");
  log_a.rejoin = true;
  type(a, "kept", "echo th''ree\n");
  read_until(a, log_a, "three\r\n");

  {
    Client gone = std::move(a);
  }
  Client c = connect(d);
  must(c.send(attach_request("kept")), "attach on a new connection");
  OutputLog log_c{msg::PtyId{"kept"}};
  type(c, "kept", "echo f''our\n");
  read_until(c, log_c, "four\r\n");
  EXPECT_EQ(manifest_of("kept"), first) << "the same shim serves every attach";
}

TEST_F(E2eTest, ASessionWhoseShimWasKilledIsNoLongerAttachedAndOpensAgain) {
  // When the shim of an attached session dies, the session is no longer
  // attached on that connection: its input is answered "not attached", and
  // a new attach on the same connection starts a new shim for it.
  auto& d = start();
  Client c = connect(d);
  OutputLog log = attach(c, "phoenix");
  Manifest first = manifest_of("phoenix");
  ASSERT_TRUE(runs(first.shim_pid, first.started_at));
  ASSERT_EQ(parent_of(first.shim_pid), d.pid()) << "only a shim of this test's daemon is killed";
  ASSERT_EQ(::kill(first.shim_pid, SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return !runs(first.shim_pid, first.started_at); }, 5s));

  for (int i = 0; i < 2; ++i) {
    type(c, "phoenix", "echo lost\n");
    EXPECT_EQ(next_non_output(c, log), msg::Message(msg::Error{msg::PtyId{"phoenix"}, "not attached"}));
  }

  OutputLog again = attach(c, "phoenix");
  std::optional<Manifest> second;
  ASSERT_TRUE(eventually(
      [&] {
        auto m = Manifest::read(runtime.session_manifest(msg::PtyId{"phoenix"}));
        if (m && m->shim_pid != first.shim_pid) second = std::move(*m);
        return second.has_value();
      },
      5s));
  seen.push_back(*second);
  EXPECT_TRUE(runs(second->shim_pid, second->started_at));
  type(c, "phoenix", "echo b''ack\n");
  read_until(c, again, "back\r\n");
}

TEST_F(E2eTest, TwoClientsShareOneSession) {
  // Two connections attached to one session both get all of its output,
  // and either may type into it; one shim serves both.
  auto& d = start();
  Client a = connect(d);
  Client b = connect(d);
  OutputLog log_a = attach(a, "shared");
  must(b.send(attach_request("shared")), "attach");
  OutputLog log_b{msg::PtyId{"shared"}};

  // b's own input follows its attach, so b is attached when the output comes.
  type(b, "shared", "echo b''ee\n");
  read_until(a, log_a, "bee\r\n");
  read_until(b, log_b, "bee\r\n");
  type(a, "shared", "echo h''i\n");
  read_until(a, log_a, "hi\r\n");
  read_until(b, log_b, "hi\r\n");

  Client lister = connect(d);
  must(lister.send(msg::List{}), "list");
  auto listed = must(lister.recv(5s), "listed");
  ASSERT_TRUE(listed.message.is<msg::Listed>()) << listed.message.debug();
  ASSERT_EQ(listed.message.get<msg::Listed>()->entries.size(), 1u);
}

TEST_F(E2eTest, ListHasOneEntryPerLiveSession) {
  // list answers from every shim: nothing before any session, an entry per
  // session with its cursor while its shell runs, and none for a session
  // that has ended.
  auto& d = start();
  Client lister = connect(d);
  must(lister.send(msg::List{}), "list");
  EXPECT_EQ(must(lister.recv(5s), "listed").message, msg::Message(msg::Listed{}));

  Client a = connect(d);
  Client b = connect(d);
  OutputLog log_a = attach(a, "one");
  OutputLog log_b = attach(b, "two");
  must(lister.send(msg::List{}), "list");
  auto reply = must(lister.recv(5s), "listed");
  const auto* listed = reply.message.get<msg::Listed>();
  ASSERT_NE(listed, nullptr) << reply.message.debug();
  auto entries = listed->entries;
  ASSERT_EQ(entries.size(), 2u) << reply.message.debug();
  std::ranges::sort(entries, {}, &msg::PtyEntry::id);
  EXPECT_EQ(entries[0].id, msg::PtyId{"one"});
  EXPECT_EQ(entries[0].cursor.epoch, log_a.epoch);
  EXPECT_GE(entries[0].cursor.sequence, log_a.next);
  EXPECT_EQ(entries[0].exited, std::nullopt);
  EXPECT_EQ(entries[1].id, msg::PtyId{"two"});
  EXPECT_EQ(entries[1].cursor.epoch, log_b.epoch);
  EXPECT_EQ(entries[1].exited, std::nullopt);

  type(b, "two", "exit\n");
  msg::Message end = next_non_output(b, log_b);
  ASSERT_TRUE(end.is<msg::Exited>()) << end.debug();
  EXPECT_EQ(end.get<msg::Exited>()->id, msg::PtyId{"two"});
  EXPECT_EQ(end.get<msg::Exited>()->code, 0);
  ASSERT_TRUE(eventually([&] { return !fs::exists(runtime.session_manifest(msg::PtyId{"two"})); }, 10s));
  must(lister.send(msg::List{}), "list");
  reply = must(lister.recv(5s), "listed");
  ASSERT_TRUE(reply.message.is<msg::Listed>()) << reply.message.debug();
  ASSERT_EQ(reply.message.get<msg::Listed>()->entries.size(), 1u) << reply.message.debug();
  EXPECT_EQ(reply.message.get<msg::Listed>()->entries[0].id, msg::PtyId{"one"});
}

struct Refusal {
  msg::Message request;
  std::string text;
};

TEST_F(E2eTest, FailedRequestsAreAnsweredAndTheConnectionGoesOn) {
  // A request that cannot be served gets an error with its id and text,
  // detach of a session not attached gets nothing, and the connection
  // serves its next request.
  const msg::PtyId ghost{"ghost"};
  const Refusal cases[] = {
      {msg::Close{ghost}, "no such pty"},
      {msg::Write{ghost}, "not attached"},
      {msg::Resize{ghost, 100, 30, true}, "not attached"},
      {msg::Pause{ghost}, "not attached"},
      {msg::Resume{ghost}, "not attached"},
  };
  auto& d = start();
  Client c = connect(d);
  for (const auto& r : cases) {
    SCOPED_TRACE(r.request.debug());
    must(c.send(r.request), "request");
    EXPECT_EQ(must(c.recv(5s), "reply").message, msg::Message(msg::Error{ghost, r.text}));
  }

  must(c.send(msg::Detach{ghost}), "detach");
  auto nothing = c.recv(300ms);
  EXPECT_FALSE(nothing) << nothing->message.debug();

  msg::Attach broken = attach_request("broken");
  broken.argv = {"/nonexistent/program"};
  must(c.send(broken), "attach");
  auto reply = must(c.recv(15s), "reply");
  const auto* error = reply.message.get<msg::Error>();
  ASSERT_NE(error, nullptr) << reply.message.debug();
  EXPECT_EQ(error->id, msg::PtyId{"broken"});
  EXPECT_TRUE(error->message.starts_with("spawning the shim: ")) << error->message;
  EXPECT_NE(error->message.find("/nonexistent/program"), std::string::npos) << error->message;

  must(c.send(msg::List{}), "list");
  EXPECT_EQ(must(c.recv(5s), "listed").message, msg::Message(msg::Listed{}));
}

TEST_F(E2eTest, CloseEndsTheSessionsWholeTreeButNotItsShim) {
  // close kills the shell, its background job and a process that left for a
  // session of its own but still holds the terminal; the shim is spared and
  // ends by itself, removing its own socket and manifest. No reply is sent.
  auto& d = start();
  Client c = connect(d);
  OutputLog log = attach(c, "doomed");
  Manifest m = manifest_of("doomed");
  pid_t job = start_sleeper(c, "doomed", "job", false);
  pid_t orphan = start_sleeper(c, "doomed", "orphan", true);
  ASSERT_NE(::getsid(orphan), m.shell_pid) << "the orphan has a session of its own";
  must(c.send(msg::Detach{msg::PtyId{"doomed"}}), "detach");
  // The welcome comes after the detach was handled and the output before it.
  must(c.send(msg::Hello{{1}}), "hello");
  EXPECT_EQ(next_non_output(c, log), msg::Message(msg::Welcome{1}));

  must(c.send(msg::Close{msg::PtyId{"doomed"}}), "close");
  EXPECT_TRUE(eventually(
      [&] {
        return !runs(m.shell_pid, m.shell_started_at) && !stray_runs(job) && !stray_runs(orphan) &&
               members_of_session(m.shell_pid).empty();
      },
      20s))
      << "left: shell " << runs(m.shell_pid, m.shell_started_at) << ", job " << stray_runs(job) << ", orphan "
      << stray_runs(orphan) << ", in the shell's session " << members_of_session(m.shell_pid).size();

  // A shim killed by the chain would leave both files behind.
  EXPECT_TRUE(eventually(
      [&] {
        return !runs(m.shim_pid, m.started_at) && !fs::exists(runtime.session_manifest(m.id)) &&
               !fs::exists(runtime.session_socket(m.id));
      },
      10s))
      << "shim " << runs(m.shim_pid, m.started_at) << ", manifest " << fs::exists(runtime.session_manifest(m.id))
      << ", socket " << fs::exists(runtime.session_socket(m.id));

  auto nothing = c.recv(100ms);
  EXPECT_FALSE(nothing) << "close has no reply: " << nothing->message.debug();
  must(c.send(msg::Close{msg::PtyId{"doomed"}}), "close again");
  EXPECT_EQ(must(c.recv(5s), "reply").message, msg::Message(msg::Error{msg::PtyId{"doomed"}, "no such pty"}));
  EXPECT_TRUE(d.diagnostics().empty()) << d.stderr_text();
}

TEST_F(E2eTest, ShutdownWaitsForTheKillChainsInFlight) {
  // SIGTERM right after a close lets the kill chain finish before the
  // daemon exits 0: by then the session's tree is gone.
  auto& d = start();
  Client c = connect(d);
  attach(c, "late");
  Manifest m = manifest_of("late");
  pid_t orphan = start_sleeper(c, "late", "orphan", true);
  must(c.send(msg::Close{msg::PtyId{"late"}}), "close");
  // Messages are handled in order: the welcome comes after the close was.
  must(c.send(msg::Hello{{1}}), "hello");
  OutputLog log{msg::PtyId{"late"}};
  EXPECT_EQ(next_non_output(c, log), msg::Message(msg::Welcome{1}));

  d.signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(12s), 0);
  EXPECT_FALSE(runs(m.shell_pid, m.shell_started_at));
  EXPECT_FALSE(stray_runs(orphan));
  EXPECT_TRUE(d.diagnostics().empty()) << d.stderr_text();
}

TEST_F(E2eTest, SigtermAndSigintShutDownCleanlyAndSessionsOutliveTheDaemon) {
  // Either signal ends the daemon with status 0 and no output: its socket
  // (mode 0600 while it ran) is gone, the pid file stays with its pid and
  // unlocked, and the session's shim still serves its socket, to the next
  // daemon too.
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    auto& d = start();
    Client c = connect(d);
    // The first round starts the session, the second finds it still running.
    must(c.send(attach_request("lasting")), "attach");
    OutputLog log{msg::PtyId{"lasting"}};
    type(c, "lasting", "echo r''un\n");
    read_until(c, log, "run\r\n");
    Manifest m = manifest_of("lasting");
    struct stat st {};
    ASSERT_EQ(::stat(runtime.daemon_socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read_file(runtime.daemon_pid_file()), std::to_string(d.pid()));

    d.signal(sig);
    ASSERT_EQ(d.wait_exit(10s), 0);
    EXPECT_TRUE(ended(c, 5s, true));
    EXPECT_FALSE(fs::exists(runtime.daemon_socket()));
    EXPECT_EQ(read_file(runtime.daemon_pid_file()), std::to_string(d.pid()));
    int fd = ::open(runtime.daemon_pid_file().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the lock is released";
    ::close(fd);
    EXPECT_EQ(d.stdout_text(), "");
    EXPECT_TRUE(d.diagnostics().empty()) << d.stderr_text();

    EXPECT_TRUE(runs(m.shim_pid, m.started_at));
    Client direct = must(Client::connect(runtime.session_socket(m.id)), "session socket");
    must(direct.send(msg::Hello{{1}}), "hello");
    EXPECT_EQ(must(direct.recv(5s), "welcome").message, msg::Message(msg::Welcome{1}));
  }
}

TEST_F(E2eTest, SighupIsIgnored) {
  // SIGHUP while serving changes nothing: connections go on, new ones are
  // welcomed.
  auto& d = start();
  Client c = connect(d);
  d.signal(SIGHUP);
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(d.exited());
  must(c.send(msg::List{}), "list");
  EXPECT_EQ(must(c.recv(5s), "listed").message, msg::Message(msg::Listed{}));
  connect(d);
}

TEST_F(E2eTest, ASignalStormDuringShutdownNeverEndsTheDaemonBySignal) {
  // The three signals stay caught until the process ends: under a stream of
  // one of them from before SIGTERM until the daemon is gone, every shutdown
  // ends with status 0.
  const int storms[] = {SIGHUP, SIGTERM, SIGINT};
  for (int round = 0; round < 15; ++round) {
    const int storm = storms[round % 3];
    SCOPED_TRACE(std::string(strsignal(storm)) + ", round " + std::to_string(round));
    auto& d = start();
    for (int i = 0; i < 20; ++i) d.signal(SIGHUP);
    d.signal(SIGTERM);
    // Only signalled while it has not been reaped, so the pid is still its own.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!d.exited() && std::chrono::steady_clock::now() < deadline) {
      d.signal(storm);
      std::this_thread::sleep_for(300us);
    }
    ASSERT_EQ(d.wait_exit(10s), 0);
    EXPECT_FALSE(fs::exists(runtime.daemon_socket()));
  }
}

TEST_F(E2eTest, ADaemonKilledOutrightIsReplacedAndTheSessionServedAgain) {
  // After kill -9 the session lives on; a new daemon takes over the stale
  // socket file and the pid file, finds the same shim and serves it.
  auto& first = start();
  Client c = connect(first);
  OutputLog log = attach(c, "survivor");
  Manifest m = manifest_of("survivor");
  type(c, "survivor", "echo o''ne\n");
  read_until(c, log, "one\r\n");

  first.signal(SIGKILL);
  ASSERT_EQ(first.wait_exit(5s), 128 + SIGKILL);
  EXPECT_TRUE(fs::exists(runtime.daemon_socket())) << "a killed daemon leaves its socket file";
  EXPECT_TRUE(runs(m.shim_pid, m.started_at));

  auto& second = start();
  EXPECT_EQ(read_file(runtime.daemon_pid_file()), std::to_string(second.pid()));
  Client again = connect(second);
  must(again.send(attach_request("survivor")), "attach");
  OutputLog log2{m.id};
  type(again, "survivor", "echo t''wo\n");
  read_until(again, log2, "two\r\n");
  EXPECT_EQ(log2.epoch, log.epoch) << "the same shim's output";
  EXPECT_EQ(manifest_of("survivor"), m) << "no new shim was started";
}

struct StaleCase {
  const char* what;
  std::string id;
  enum { Valid, Garbage } content;
  std::string boot_id;
  pid_t shim_pid;
  StartTime started_at;
  bool answering;  // something listens on the recorded socket
  bool manifest_removed;
  bool socket_removed;
};

std::string manifest_json(const Runtime& runtime, const StaleCase& s) {
  Manifest m;
  m.id = msg::PtyId{s.id};
  m.shim_pid = m.shell_pid = m.pgid = s.shim_pid;
  m.tty = "pts/999999";
  m.socket = runtime.session_socket(m.id);
  m.started_at = s.started_at;
  m.boot_id = s.boot_id;
  return quern_shim::manifest_json(m);
}

TEST_F(E2eTest, StartUpSweepsStaleSessionFiles) {
  // Before serving, the daemon removes the files of sessions from another
  // boot and of those whose shim is gone (its pid dead or reused), and an
  // unreadable manifest (not its socket); it leaves alone a session it
  // cannot judge and one whose socket answers, and signals none of the
  // processes these manifests name.
  ASSERT_TRUE(runtime.ensure());
  auto boot = quern_session::procinfo::boot_id();
  ASSERT_TRUE(boot);
  Child live({"sleep", "300"});
  StartTime dead_started;
  pid_t dead_pid = 0;
  {
    Child gone({"sleep", "300"});
    dead_pid = gone.pid();
    dead_started = gone.started();
  }
  StartTime earlier{live.started().secs - 7, live.started().micros};
  const StaleCase cases[] = {
      {"another boot", "other-boot", StaleCase::Valid, "not-" + *boot, live.pid(), live.started(), false, true, true},
      {"a shim that is gone", "dead-shim", StaleCase::Valid, *boot, dead_pid, dead_started, false, true, true},
      {"a reused pid", "reused-pid", StaleCase::Valid, *boot, live.pid(), earlier, false, true, true},
      {"no boot id", "no-boot", StaleCase::Valid, "", live.pid(), live.started(), false, false, false},
      {"a reused pid whose socket answers", "answering", StaleCase::Valid, *boot, live.pid(), earlier, true, false,
       false},
      {"an unreadable manifest", "garbage", StaleCase::Garbage, *boot, live.pid(), live.started(), false, true, false},
  };
  std::vector<std::unique_ptr<Listener>> listeners;
  for (const auto& s : cases) {
    msg::PtyId id{s.id};
    write_file(runtime.session_manifest(id), s.content == StaleCase::Valid ? manifest_json(runtime, s) : "{not json");
    if (s.answering) {
      listeners.push_back(std::make_unique<Listener>(runtime.session_socket(id)));
    } else {
      dead_socket(runtime.session_socket(id));
    }
  }

  auto& d = start();
  for (const auto& s : cases) {
    SCOPED_TRACE(s.what);
    msg::PtyId id{s.id};
    EXPECT_EQ(!fs::exists(runtime.session_manifest(id)), s.manifest_removed);
    EXPECT_EQ(!fs::exists(runtime.session_socket(id)), s.socket_removed);
  }
  // A kill chain wrongly started for one of them would kill its shim about
  // a second after start-up.
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(runs(live.pid(), live.started())) << "a process named by a stale manifest was signalled";
  EXPECT_TRUE(d.diagnostics().empty()) << d.stderr_text();
}

TEST_F(E2eTest, StartUpEndsAnOrphanedSessionWhoseSocketIsGone) {
  // A session whose shim still runs but no longer answers on its socket is
  // ended at start-up: its tree is killed, then the shim itself, and its
  // socket and manifest are removed. (The shim is stopped, so it cannot
  // leave or clean up by itself.)
  auto& first = start();
  Client c = connect(first);
  attach(c, "orphaned");
  Manifest m = manifest_of("orphaned");
  pid_t orphan = start_sleeper(c, "orphaned", "orphan", true);
  first.signal(SIGKILL);
  ASSERT_EQ(first.wait_exit(5s), 128 + SIGKILL);
  ASSERT_EQ(::kill(m.shim_pid, SIGSTOP), 0);
  fs::remove(runtime.session_socket(m.id));

  auto& second = start();
  EXPECT_TRUE(eventually(
      [&] {
        return !runs(m.shim_pid, m.started_at) && !runs(m.shell_pid, m.shell_started_at) && !stray_runs(orphan) &&
               !fs::exists(runtime.session_manifest(m.id)) && !fs::exists(runtime.session_socket(m.id));
      },
      20s))
      << "shim " << runs(m.shim_pid, m.started_at) << ", shell " << runs(m.shell_pid, m.shell_started_at)
      << ", orphan " << stray_runs(orphan) << ", manifest " << fs::exists(runtime.session_manifest(m.id));
  connect(second);
  EXPECT_TRUE(second.diagnostics().empty()) << second.stderr_text();
}

// `sleep 300` on a fresh pty of which it is the controlling process; killed
// and reaped at the end.
struct OnTerminal {
  pid_t pid = -1;
  int master = -1;
  std::string tty;
  OnTerminal() {
    char name[256] = {};
    pid = ::forkpty(&master, name, nullptr, nullptr);
    if (pid < 0) throw std::runtime_error("forkpty: " + std::string(std::strerror(errno)));
    if (pid == 0) {
      ::execlp("sleep", "sleep", "300", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    tty = std::string(name).substr(5);  // without "/dev/"
  }
  ~OnTerminal() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(master);
  }
  bool running() const { return ::waitpid(pid, nullptr, WNOHANG) == 0; }
};

TEST_F(E2eTest, CloseOfAStaleManifestSparesTheTerminalOfAnotherProcess) {
  // A manifest whose shim pid now belongs to another process (another start
  // time) does not vouch for its terminal: close signals nothing on it. With
  // the recorded start time the same terminal is the session's and is ended.
  auto boot = quern_session::procinfo::boot_id();
  ASSERT_TRUE(boot);
  auto& d = start();
  Client c = connect(d);
  struct Case {
    const char* name;
    std::int64_t shift;  // seconds added to the decoy's start time
    bool terminal_ended;
  };
  for (const Case& k : {Case{"the recorded shim", 0, true}, Case{"its pid now another process", 1, false}}) {
    SCOPED_TRACE(k.name);
    Child decoy({"sleep", "300"});
    OnTerminal other;
    Manifest m;
    m.id = msg::PtyId{"stale"};
    m.shim_pid = decoy.pid();
    m.shell_pid = decoy.pid();
    m.pgid = decoy.pid();
    m.tty = other.tty;
    m.socket = runtime.session_socket(m.id);
    m.started_at = StartTime{decoy.started().secs + k.shift, decoy.started().micros};
    m.boot_id = *boot;
    write_file(runtime.session_manifest(m.id), quern_shim::manifest_json(m));

    must(c.send(msg::Close{m.id}), "close");
    // The chain's first round comes a second after its first look.
    EXPECT_EQ(eventually([&] { return !other.running(); }, 4s), k.terminal_ended);
    EXPECT_TRUE(runs(decoy.pid(), decoy.started())) << "the decoy at the shim's pid was signalled";
  }
  EXPECT_TRUE(d.diagnostics().empty()) << d.stderr_text();
}

TEST_F(E2eTest, StartUpNeverSignalsTheDaemonsParentOrItsGroup) {
  // A manifest naming the daemon's parent as shim and shell, and its group
  // as the shell's group, with their true start times, while nothing answers
  // on its socket: the sweep's kill chain and its discard signal neither the
  // parent nor its group (which holds the daemon), and the session, whose
  // shim was not killed, keeps its files.
  ASSERT_TRUE(runtime.ensure());
  auto boot = quern_session::procinfo::boot_id();
  ASSERT_TRUE(boot);
  const fs::path go = dir.path / "go";
  const fs::path pid_file = dir.path / "daemon.pid";
  // The parent starts the daemon once the manifest is in place, and waits.
  const std::string script = "while [ ! -e \"$GO\" ]; do sleep 0.05; done\n"
                             "\"$@\" & echo $! > \"$PID_FILE\"\n"
                             "wait $!\n";
  const pid_t parent = spawn_logged(
      {"/bin/sh", "-c", script, "sh", QUERND_BIN, "--no-data-plane"},
      environment({"QUERN_RUNTIME_DIR=" + runtime.root.native(), "GO=" + go.native(), "PID_FILE=" + pid_file.native()},
                  {"QUERN_SESSION_BIN"}),
      dir.path / "parent.out", dir.path / "parent.err", dir.path, true);
  std::optional<int> parent_status;
  auto parent_ended = [&] {
    int status = 0;
    if (!parent_status && ::waitpid(parent, &status, WNOHANG) == parent) parent_status = status;
    return parent_status.has_value();
  };
  struct Cleanup {
    std::function<bool()> parent_ended;
    pid_t parent;
    fs::path pid_file;
    ~Cleanup() {
      // The daemon first, while its parent still waits for it, so that it
      // ends cleanly and its parent with it; then whatever is left of the
      // group we made.
      if (auto text = read_file(pid_file); !text.empty() && !parent_ended()) ::kill(std::stoi(text), SIGTERM);
      if (!eventually(parent_ended, 10s)) {
        ::killpg(parent, SIGKILL);
        ::waitpid(parent, nullptr, 0);
      }
    }
  } cleanup{parent_ended, parent, pid_file};
  std::optional<StartTime> started;
  ASSERT_TRUE(eventually([&] { return (started = quern_session::procinfo::start_time(parent)).has_value(); }, 5s));

  Manifest m;
  m.id = msg::PtyId{"forged"};
  m.shim_pid = parent;
  m.shell_pid = parent;
  m.pgid = parent;
  m.socket = runtime.session_socket(m.id);
  m.started_at = *started;
  m.shell_started_at = started;
  m.boot_id = *boot;
  write_file(runtime.session_manifest(m.id), quern_shim::manifest_json(m));
  write_file(go, "");

  ASSERT_TRUE(eventually([&] { return !read_file(pid_file).empty(); }, 5s));
  const pid_t daemon = std::stoi(read_file(pid_file));
  // The daemon serves once its sweep has started the session's chain.
  std::optional<Client> c;
  ASSERT_TRUE(eventually(
      [&] {
        auto connected = Client::connect(runtime.daemon_socket());
        if (connected) c.emplace(std::move(*connected));
        return connected.has_value() || parent_ended();
      },
      10s));
  ASSERT_TRUE(c) << "the daemon ended before serving: " << read_file(dir.path / "parent.err");
  must(c->send(msg::Hello{{1}}), "hello");
  EXPECT_EQ(must(c->recv(5s), "welcome").message, msg::Message(msg::Welcome{1}));
  must(c->send(msg::List{}), "list");
  EXPECT_EQ(must(c->recv(5s), "listed").message, msg::Message(msg::Listed{}));

  // Shutdown waits for the chain: once the daemon has exited, every signal
  // the chain and its discard would send has been sent. The parent then
  // ends by itself, with the daemon's status.
  ASSERT_FALSE(parent_ended()) << "the daemon's parent ended early";
  ASSERT_EQ(::kill(daemon, SIGTERM), 0);
  ASSERT_TRUE(eventually(parent_ended, 20s));
  EXPECT_TRUE(WIFEXITED(*parent_status) && WEXITSTATUS(*parent_status) == 0)
      << "the daemon's parent ended by signal " << (WIFSIGNALED(*parent_status) ? WTERMSIG(*parent_status) : 0);
  EXPECT_EQ(read_file(dir.path / "parent.err"), "");
  EXPECT_TRUE(fs::exists(runtime.session_manifest(m.id)));
}

TEST_F(E2eTest, ListPassesOverAManifestRecordingTheDaemonsOwnSocket) {
  // A manifest whose socket is the daemon's own is not greeted: the list is
  // answered at once with nothing from it, the daemon does not pile up
  // connections to itself, and the manifest stays.
  auto boot = quern_session::procinfo::boot_id();
  ASSERT_TRUE(boot);
  auto& d = start();
  Child shim({"sleep", "300"});
  Manifest m;
  m.id = msg::PtyId{"self"};
  m.shim_pid = shim.pid();
  m.shell_pid = shim.pid();
  m.pgid = shim.pid();
  m.socket = runtime.daemon_socket();
  m.started_at = shim.started();
  m.boot_id = *boot;
  write_file(runtime.session_manifest(m.id), quern_shim::manifest_json(m));

  Client c = connect(d);
  must(c.send(msg::List{}), "list");
  auto reply = c.recv(1500ms);
  ASSERT_TRUE(reply) << reply.error().text;
  EXPECT_EQ(reply->message, msg::Message(msg::Listed{}));
  std::this_thread::sleep_for(500ms);
  std::size_t descriptors = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/" + std::to_string(d.pid()) + "/fd")) ++descriptors;
  EXPECT_LT(descriptors, 64u);
  EXPECT_TRUE(fs::exists(runtime.session_manifest(m.id)));
}

TEST_F(E2eTest, ASecondDaemonIsRefusedByThePidLock) {
  // The first daemon replaces a longer pid left in the pid file with exactly
  // its own; a second daemon for the same directory fails with the lock's
  // error and status 1 and leaves the first one untouched.
  ASSERT_TRUE(runtime.ensure());
  write_file(runtime.daemon_pid_file(), "98765432109876");
  auto& first = start();
  EXPECT_EQ(read_file(runtime.daemon_pid_file()), std::to_string(first.pid()));

  auto& second = launch();
  ASSERT_EQ(second.wait_exit(10s), 1);
  EXPECT_EQ(second.stderr_text(), "Error: pid file " + runtime.daemon_pid_file().native() +
                                      " is held by another daemon (EAGAIN: Try again)\n");
  EXPECT_EQ(second.stdout_text(), "");

  EXPECT_EQ(read_file(runtime.daemon_pid_file()), std::to_string(first.pid()));
  EXPECT_TRUE(fs::exists(runtime.daemon_socket()));
  EXPECT_FALSE(first.exited());
  connect(first);
}

TEST_F(E2eTest, SomethingAnsweringAtTheDaemonSocketStopsStartUp) {
  // With the pid file free but a listener on the daemon socket, start-up
  // fails with status 1; the pid file holds the failed daemon's pid,
  // unlocked, and the socket is left alone.
  ASSERT_TRUE(runtime.ensure());
  Listener other(runtime.daemon_socket());
  auto& d = launch();
  ASSERT_EQ(d.wait_exit(10s), 1);
  EXPECT_EQ(d.stderr_text(), "Error: a daemon already answers at " + runtime.daemon_socket().native() + "\n");
  EXPECT_EQ(read_file(runtime.daemon_pid_file()), std::to_string(d.pid()));
  int fd = ::open(runtime.daemon_pid_file().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
  EXPECT_TRUE(fs::exists(runtime.daemon_socket()));
}

struct BadCommandLine {
  std::vector<std::string> args;
  std::string report;
};

TEST_F(E2eTest, CommandLineErrorsEndWithAReport) {
  // A bad command line ends the daemon with status 1 and one report on
  // stderr, before anything is created.
  const BadCommandLine cases[] = {
      {{"--x"}, "Error: unknown flag --x\n"},
      {{"--origin"}, "Error: --origin needs a value\n"},
      {{"--no-data-plane", "--origin"}, "Error: --origin needs a value\n"},
      {{"--origin=http://a"}, "Error: unknown flag --origin=http://a\n"},
      {{"--no-data-plane", "serve"}, "Error: unknown flag serve\n"},
      {{"--dev", "-x", "--y"}, "Error: unknown flag -x\n"},
      {{"--no-data-plane", ""}, "Error: unknown flag \n"},
      {{"--no-data-plane", "\xff"}, "Error: argument \xEF\xBF\xBD is not valid UTF-8\n"},
  };
  for (const auto& b : cases) {
    SCOPED_TRACE(b.report);
    auto& d = launch(b.args);
    ASSERT_EQ(d.wait_exit(10s), 1);
    EXPECT_EQ(d.stderr_text(), b.report);
    EXPECT_EQ(d.stdout_text(), "");
    EXPECT_FALSE(fs::exists(runtime.root));
  }
}

TEST_F(E2eTest, ARuntimeDirThatCannotBeMadeStopsStartUp) {
  // A file where the runtime directory should be fails start-up with the
  // context and the system's error as its one cause.
  write_file(runtime.root, "");
  auto& d = launch();
  ASSERT_EQ(d.wait_exit(10s), 1);
  EXPECT_EQ(d.stderr_text(), "Error: runtime dir\n\nCaused by:\n    File exists (os error 17)\n");
  EXPECT_EQ(d.stdout_text(), "");
}

struct InTheWay {
  const char* what;
  std::function<void(const fs::path&)> place;
  fs::file_type left;  // what stands at the path afterwards, not followed
};

TEST_F(E2eTest, AFileThatIsNotASocketAtTheDaemonSocketStopsStartUp) {
  // Nothing listens there, but the file is no stale socket: start-up fails
  // with status 1, names what is in the way, and leaves it in place.
  ASSERT_TRUE(runtime.ensure());
  const fs::path socket = runtime.daemon_socket();
  const InTheWay cases[] = {
      {"a regular file", [](const fs::path& p) { write_file(p, "kept"); }, fs::file_type::regular},
      {"a symbolic link", [&](const fs::path& p) { fs::create_symlink(dir.path / "nowhere", p); },
       fs::file_type::symlink},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.place(socket);
    auto& d = launch();
    ASSERT_EQ(d.wait_exit(10s), 1);
    EXPECT_EQ(d.stderr_text(), "Error: bind " + socket.native() +
                                   "\n\nCaused by:\n    a file that is not a socket is in the way: " + c.what + "\n");
    EXPECT_EQ(fs::symlink_status(socket).type(), c.left);
    fs::remove(socket);
  }
}

// A daemon started with no descriptor open but 0, 1 and 2 and at most
// `limit` open at once, the limit set between fork and exec; its input on
// /dev/null and its outputs into files. Killed and reaped at the end.
class LimitedDaemon {
 public:
  LimitedDaemon(rlim_t limit, const Runtime& runtime, const fs::path& log_dir) : err_(log_dir / "limited.err") {
    std::vector<std::string> argv{QUERND_BIN};
    std::vector<std::string> env = environment({"QUERN_RUNTIME_DIR=" + runtime.root.native()}, {"QUERN_SESSION_BIN"});
    auto argp = pointers(argv);
    auto envp = pointers(env);
    const std::string out = (log_dir / "limited.out").native();
    const std::string err = err_.native();
    rlimit before{};
    ::getrlimit(RLIMIT_NOFILE, &before);
    const rlimit limited{limit, limit};
    // Only async-signal-safe calls between fork and exec.
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
    if (pid_ == 0) {
      const int in_fd = ::open("/dev/null", O_RDONLY);
      const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::dup2(in_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 ||
          ::dup2(err_fd, 2) < 0) {
        ::_exit(126);
      }
      if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
        for (rlim_t fd = 3; fd < before.rlim_cur; ++fd) ::close(static_cast<int>(fd));
      }
      if (::setrlimit(RLIMIT_NOFILE, &limited) != 0) ::_exit(126);
      ::execve(argp[0], argp.data(), envp.data());
      ::_exit(127);
    }
  }
  LimitedDaemon(const LimitedDaemon&) = delete;
  LimitedDaemon& operator=(const LimitedDaemon&) = delete;
  ~LimitedDaemon() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  pid_t pid() const { return pid_; }
  // The exit status (128 + n after signal n) once it has ended.
  std::optional<int> status(std::chrono::milliseconds timeout = 0ms) {
    if (!status_) status_ = quern_test_support::wait_exit(pid_, timeout);
    return status_;
  }
  std::string stderr_text() const { return read_file(err_); }

 private:
  static std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> out;
    for (auto& w : words) out.push_back(w.data());
    out.push_back(nullptr);
    return out;
  }
  fs::path err_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Whether the daemon on `socket` welcomes a client now.
bool welcomes(const fs::path& socket) {
  auto c = Client::connect(socket);
  if (!c || !c->send(msg::Hello{{1}})) return false;
  auto reply = c->recv(100ms);
  return reply && reply->message == msg::Message(msg::Welcome{1});
}

// How a run under a descriptor limit ended: its report, and whether it had
// made the runtime directory and written the endpoint file by then.
struct Stopped {
  std::string report;
  bool runtime_dir;
  bool endpoint_file;
  friend bool operator==(const Stopped&, const Stopped&) = default;
};

void PrintTo(const Stopped& s, std::ostream* os) {
  *os << "{" << ::testing::PrintToString(s.report) << ", runtime dir " << s.runtime_dir << ", endpoint file "
      << s.endpoint_file << "}";
}

TEST_F(E2eTest, StartUpOutOfDescriptorsAtAnyStepEndsWithAReport) {
  // With the descriptor limit raised by one each run, start-up runs out of
  // descriptors at each step that opens one, in order: the event loop, the
  // pid file, the probe of the daemon socket (whose listener takes the
  // descriptor the probe gave back), the data plane, the endpoint file and
  // the signal streams. Each run ends with status 1 and a report, never by a
  // signal. The first limit that lets every step through gives a daemon that
  // serves, or, with no descriptor left for a client, says so on every
  // accept; either way it shuts down cleanly.
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own for its checks";
#endif
  const std::string emfile = "Too many open files (os error 24)";
  std::vector<Stopped> stopped;
  std::optional<rlim_t> serving;
  // Below 4 the program cannot even be loaded.
  for (rlim_t limit = 4; limit < 64 && !serving; ++limit) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    std::error_code ignored;
    fs::remove(runtime.data_endpoint(), ignored);
    LimitedDaemon d(limit, runtime, dir.path);
    ASSERT_TRUE(eventually(
        [&] {
          return d.status() || d.stderr_text().find("quernd: accept: ") != std::string::npos ||
                 welcomes(runtime.daemon_socket());
        },
        30s));
    if (auto status = d.status()) {
      ASSERT_EQ(*status, 1) << d.stderr_text();
      Stopped s{d.stderr_text(), fs::exists(runtime.root), fs::exists(runtime.data_endpoint())};
      if (stopped.empty() || stopped.back() != s) stopped.push_back(s);
      continue;
    }
    serving = limit;
    ASSERT_EQ(::kill(d.pid(), SIGTERM), 0);
    EXPECT_EQ(d.status(20s), 0) << d.stderr_text();
  }
  ASSERT_TRUE(serving) << "no limit below 64 let the daemon start";
  const std::vector<Stopped> expected = {
      {"Error: " + emfile + "\n", false, false},
      {"Error: pid file " + runtime.daemon_pid_file().native() + "\n\nCaused by:\n    " + emfile + "\n", true, false},
      {"Error: cannot probe " + runtime.daemon_socket().native() + ": " + emfile + "\n", true, false},
      {"Error: data plane\n\nCaused by:\n    " + emfile + "\n", true, false},
      {"Error: endpoint file\n\nCaused by:\n    " + emfile + "\n", true, false},
      {"Error: " + emfile + "\n", true, true},
  };
  EXPECT_EQ(stopped, expected);
}

}  // namespace
