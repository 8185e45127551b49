// The session shim, driven end to end as the daemon drives it: started with
// --id and the attach on standard input, in a private runtime directory.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quern_protocol/json_writer.hpp"
#include "quern_protocol/message.hpp"
#include "quern_protocol/packet.hpp"
#include "quern_session/child.hpp"
#include "quern_session/manifest.hpp"
#include "quern_session/paths.hpp"
#include "quern_session/fd.hpp"
#include "quern_session/procinfo.hpp"
#include "quern_test_support/env.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/output.hpp"
#include "quern_test_support/process.hpp"
#include "quern_testkit/client.hpp"

namespace {

namespace fs = std::filesystem;
namespace msg = quern_protocol::message;
using quern_protocol::Bytes;
using quern_session::paths::Runtime;
using quern_testkit::Client;
using quern_testkit::ClientError;
using quern_test_support::must;
using quern_test_support::next_non_output;
using quern_test_support::OutputLog;
using quern_test_support::read_until;
using quern_test_support::TempDir;
using namespace std::chrono_literals;

struct LaunchOptions {
  std::vector<std::string> argv = {"/bin/sh"};
  std::optional<std::string> cwd;
  std::map<std::string, std::string> env = {{"PS1", "prompt> "}};
  std::uint16_t cols = 80;
  std::uint16_t rows = 24;
};

std::string attach_json(const std::string& id, const LaunchOptions& o) {
  msg::Attach a{msg::PtyId{id}, o.cols, o.rows, std::nullopt, true, o.cwd, o.argv, o.env};
  return quern_protocol::json::write_compact(msg::Message(a).serialize());
}

// One shim, started as the daemon starts it: stdin and stdout piped, the
// record written and stdin closed, then one report line read.
class Shim {
 public:
  struct Env {
    std::string name;
    std::optional<std::string> value;  // none: removed
  };

  Shim(const fs::path& runtime, const std::string& id, const std::string& record, const std::vector<Env>& changes = {},
       int leak_fd = -1) {
    std::vector<std::string> set = {"QUERN_RUNTIME_DIR=" + runtime.native()};
    std::vector<std::string> unset;
    for (const auto& c : changes) {
      if (c.value) {
        set.push_back(c.name + "=" + *c.value);
      } else {
        unset.push_back(c.name);
      }
    }
    auto in = quern_session::child::make_pipe();
    auto out = quern_session::child::make_pipe();
    if (!in || !out) throw std::runtime_error("pipe");
    quern_test_support::Spawn how{.argv = {QUERN_SESSION_BIN_PATH, "--id", id},
                                  .env = quern_test_support::environment(set, unset),
                                  .dups = {{in->read.get(), STDIN_FILENO}, {out->write.get(), STDOUT_FILENO}}};
    // A descriptor handed down without close-on-exec, which the program must not get.
    if (leak_fd >= 0) how.dups.emplace_back(leak_fd, kLeakedFd);
    process_ = quern_test_support::Process(how);
    in->read.reset();
    out->write.reset();

    (void)!::write(in->write.get(), record.data(), record.size());
    in->write.reset();
    report_ = read_line(out->read.get(), 10s);
  }
  Shim(const Shim&) = delete;
  Shim& operator=(const Shim&) = delete;

  static constexpr int kLeakedFd = 77;

  pid_t pid() const { return process_.pid(); }
  const std::string& report() const { return report_; }

  // The shim's exit status once it has ended; none if it runs past `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout) { return process_.wait_exit(timeout); }

 private:
  static std::string read_line(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (line.find('\n') == std::string::npos) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[256];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, static_cast<std::size_t>(n));
    }
    return line.substr(0, line.find('\n'));
  }

  quern_test_support::Process process_;
  std::string report_;
};

class ShimTest : public ::testing::Test {
 protected:
  TempDir dir;
  Runtime runtime{dir.path / "rt"};
  std::string id = "session ä/1";  // any text will do, slashes and spaces included
  msg::PtyId pty{id};

  fs::path socket() const { return runtime.session_socket(pty); }
  fs::path manifest() const { return runtime.session_manifest(pty); }

  std::unique_ptr<Shim> start(const LaunchOptions& o = {}, const std::vector<Shim::Env>& env = {}, int leak_fd = -1) {
    return std::make_unique<Shim>(runtime.root, id, attach_json(id, o), env, leak_fd);
  }

  Client greet() {
    Client c = must(Client::connect(socket()), "connect");
    must(c.send(msg::Hello{{1}}), "hello");
    auto reply = must(c.recv(), "welcome");
    EXPECT_EQ(reply.message, msg::Message(msg::Welcome{1}));
    return c;
  }

  // Attaches as the daemon does, with the client's window size.
  Client attached(std::uint16_t cols = 80, std::uint16_t rows = 24) {
    Client c = greet();
    must(c.send(msg::Attach{pty, cols, rows, std::nullopt, true, std::nullopt, {}, {}}), "attach");
    return c;
  }

  void type(Client& c, std::string_view text) { must(c.send(msg::Write{pty}, Bytes::copy_from(text)), "write"); }

  // Ends the session through its shell and waits for the shim to go.
  void end(Shim& shim, Client& c, OutputLog& log) {
    type(c, "exit\n");
    msg::Message m = next_non_output(c, log);
    EXPECT_TRUE(m.is<msg::Exited>()) << m.debug();
    EXPECT_EQ(shim.wait_exit(5s), 0);
  }
  void end(Shim& shim) {
    Client c = attached();
    OutputLog log;
    end(shim, c, log);
  }
};

bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

// Field 7 of /proc/<pid>/stat: the controlling terminal's device number.
dev_t controlling_tty(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 7; ++i) rest >> field;
  return static_cast<dev_t>(std::stoull(field));
}

TEST_F(ShimTest, ReportsOkAndWritesItsManifest) {
  // The manifest names this shim and its program, which leads its own session
  // on the recorded terminal, with identities as procinfo reads them.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");

  auto listed = quern_session::manifest::Manifest::list(runtime);
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->first.size(), 1u) << "one manifest, no temporary file left over";
  EXPECT_TRUE(listed->second.empty());
  const auto& m = listed->first[0];

  EXPECT_EQ(m.id, pty);
  EXPECT_EQ(m.shim_pid, shim->pid());
  EXPECT_NE(m.shell_pid, shim->pid());
  EXPECT_TRUE(alive(m.shell_pid));
  EXPECT_EQ(::getsid(m.shell_pid), m.shell_pid);
  EXPECT_EQ(m.pgid, m.shell_pid);
  EXPECT_EQ(::getpgid(m.shell_pid), m.pgid);
  EXPECT_TRUE(m.tty.starts_with("pts/")) << m.tty;
  struct stat st {};
  ASSERT_EQ(::stat(("/dev/" + m.tty).c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(controlling_tty(m.shell_pid), st.st_rdev);
  EXPECT_EQ(m.socket, socket());
  EXPECT_EQ(m.started_at, quern_session::procinfo::start_time(shim->pid()));
  EXPECT_EQ(m.boot_id, quern_session::procinfo::boot_id().value_or(""));
  EXPECT_FALSE(m.boot_id.empty());
  EXPECT_EQ(m.shell_started_at, quern_session::procinfo::start_time(m.shell_pid));
  EXPECT_EQ(m.cgroup, std::nullopt);

  ASSERT_EQ(::stat(manifest().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(socket().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  end(*shim);
}

TEST_F(ShimTest, RelaysInputAndOutput) {
  // Written bytes reach the program and its output comes back as contiguous
  // output frames of one epoch; output from before the attach is not lost.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client c = attached();
  OutputLog log;
  // Typed before the shell has printed its prompt, the input's echo would
  // come first.
  read_until(c, log, "prompt> ");
  type(c, "echo h''i\n");
  read_until(c, log, "hi\r\n");
  EXPECT_TRUE(log.text.starts_with("prompt> ")) << "the first prompt, printed before anyone attached";
  EXPECT_EQ(log.next, log.text.size());
  end(*shim, c, log);
}

TEST_F(ShimTest, TerminalSizeComesFromAttachThenResize) {
  // The terminal starts with the attach's size, and a resize changes it.
  LaunchOptions o;
  o.cols = 91;
  o.rows = 27;
  auto shim = start(o);
  ASSERT_EQ(shim->report(), "ok");
  Client c = attached(o.cols, o.rows);  // the daemon forwards the launching attach itself
  OutputLog log;
  type(c, "stty size\n");
  read_until(c, log, "27 91\r\n");
  must(c.send(msg::Resize{pty, 100, 31, true}), "resize");
  type(c, "stty size\n");
  read_until(c, log, "31 100\r\n");
  end(*shim, c, log);
}

TEST_F(ShimTest, ListGivesItsEntryWithTheCursor) {
  // list answers one entry whose cursor is where the relayed output stands,
  // and whose exit is null while the program runs.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client c = attached();
  OutputLog log;
  type(c, "echo h''i\n");
  read_until(c, log, "hi\r\n");
  must(c.send(msg::List{}), "list");
  msg::Message reply = next_non_output(c, log);
  const auto* listed = reply.get<msg::Listed>();
  ASSERT_NE(listed, nullptr) << reply.debug();
  ASSERT_EQ(listed->entries.size(), 1u);
  const auto& e = listed->entries[0];
  EXPECT_EQ(e.id, pty);
  EXPECT_EQ(e.cursor.epoch, log.epoch);
  EXPECT_EQ(e.cursor.sequence, log.next) << "every byte read before the reply was relayed before it";
  EXPECT_EQ(e.exited, std::nullopt);
  end(*shim, c, log);
}

TEST_F(ShimTest, SecondShimForTheSameIdReportsErrBind) {
  // A shim whose socket is already served reports "err: bind", exits, and
  // leaves the first shim and its files alone.
  auto first = start();
  ASSERT_EQ(first->report(), "ok");
  auto second = start();
  EXPECT_TRUE(second->report().starts_with("err: bind")) << second->report();
  EXPECT_NE(second->wait_exit(5s), std::nullopt);

  auto m = quern_session::manifest::Manifest::read(manifest());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->shim_pid, first->pid());
  end(*first);
}

TEST_F(ShimTest, StaleSocketFileIsReplaced) {
  // A socket file that nobody serves, left by a shim that died, does not
  // stop a new shim for the same id.
  fs::create_directories(socket().parent_path());
  {
    std::ofstream stale(socket());
  }
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  end(*shim);
}

struct EndCase {
  const char* input;
  std::optional<std::int32_t> code;
  std::optional<std::int32_t> signal;
};

TEST_F(ShimTest, ProgramEndIsReportedAfterItsOutputThenTheShimLeaves) {
  // The program's end reaches the attached client as exited with its code or
  // signal, after all its output; by then the socket and manifest are gone,
  // and the shim closes the connection and exits 0.
  const EndCase cases[] = {
      {"echo b''ye; exit\n", 0, std::nullopt},
      {"echo b''ye; exit 3\n", 3, std::nullopt},
      {"echo b''ye; kill -KILL $$\n", std::nullopt, SIGKILL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    auto shim = start();
    ASSERT_EQ(shim->report(), "ok");
    Client conn = attached();
    OutputLog log;
    type(conn, c.input);
    msg::Message m = next_non_output(conn, log);
    const auto* exited = m.get<msg::Exited>();
    ASSERT_NE(exited, nullptr) << m.debug();
    EXPECT_EQ(exited->id, pty);
    EXPECT_EQ(exited->code, c.code);
    EXPECT_EQ(exited->signal, c.signal);
    EXPECT_EQ(exited->epoch, log.epoch);
    EXPECT_EQ(exited->sequence, log.next);
    EXPECT_NE(log.text.find("bye\r\n"), std::string::npos) << log.text;
    EXPECT_FALSE(fs::exists(socket()));
    EXPECT_FALSE(fs::exists(manifest()));
    auto after = conn.recv(2s);
    ASSERT_FALSE(after);
    EXPECT_EQ(after.error().kind, ClientError::Kind::Closed);
    EXPECT_EQ(shim->wait_exit(5s), 0);
  }
}

TEST_F(ShimTest, LaunchRecordGivesArgvCwdAndEnvironment) {
  // The program runs as the record's argv in its cwd with its env added to
  // the inherited one, SIGPIPE at its default action and none of the shim's
  // descriptors (nor one the shim inherited without close-on-exec).
  TempDir work;
  LaunchOptions o;
  o.argv = {"/bin/sh", "-c",
            "printf '[%s|%s|%s]' \"$PWD\" \"$QUERN_ADDED\" \"$QUERN_REPLACED\"; "
            "ls -l /proc/$$/fd | grep -c -e socket: -e ptmx -e pipe:; "
            "[ -e /proc/$$/fd/77 ] && echo leaked || echo clean; "
            "grep SigIgn /proc/$$/status"};
  o.cwd = work.path.native();
  o.env = {{"QUERN_ADDED", "a b"}, {"QUERN_REPLACED", "new"}};
  int leak = ::open("/dev/null", O_RDONLY);  // without close-on-exec
  auto shim = start(o, {{"QUERN_REPLACED", "old"}}, leak);
  ::close(leak);
  ASSERT_EQ(shim->report(), "ok");

  Client c = attached();
  OutputLog log;
  msg::Message m = next_non_output(c, log);
  ASSERT_TRUE(m.is<msg::Exited>()) << m.debug();
  EXPECT_EQ(m.get<msg::Exited>()->code, 0);

  EXPECT_NE(log.text.find("[" + work.path.native() + "|a b|new]0\r\nclean\r\n"), std::string::npos) << log.text;
  auto mask_at = log.text.find("SigIgn:");
  ASSERT_NE(mask_at, std::string::npos) << log.text;
  unsigned long long ignored = std::stoull(log.text.substr(mask_at + 7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << "SIGPIPE is ignored in the program";
  EXPECT_EQ(shim->wait_exit(5s), 0);
}

struct ShellCase {
  const char* what;
  std::vector<Shim::Env> shim_env;
  std::map<std::string, std::string> record_env;
  std::string expected;
};

TEST_F(ShimTest, WithoutArgvTheProgramIsTheShellElseBinSh) {
  // An attach without argv starts $SHELL (the record's env before the
  // inherited one), or /bin/sh when no shell is named.
  const ShellCase cases[] = {
      {"inherited SHELL", {{"SHELL", "/bin/bash"}}, {}, "/bin/bash"},
      {"SHELL from the record", {{"SHELL", std::nullopt}}, {{"SHELL", "/bin/bash"}}, "/bin/bash"},
      {"no SHELL", {{"SHELL", std::nullopt}}, {}, "/bin/sh"},
      {"empty SHELL", {{"SHELL", ""}}, {}, "/bin/sh"},
  };
  for (const auto& sc : cases) {
    SCOPED_TRACE(sc.what);
    LaunchOptions o;
    o.argv = {};
    o.env = sc.record_env;
    auto shim = start(o, sc.shim_env);
    ASSERT_EQ(shim->report(), "ok");
    Client c = attached();
    OutputLog log;
    type(c, "echo \"<$0>\"\n");
    read_until(c, log, "<" + sc.expected + ">\r\n");
    end(*shim, c, log);
  }
}

struct BadLaunch {
  const char* what;
  std::string record;
  std::string in_report;
};

TEST_F(ShimTest, BadLaunchesReportAnErrorAndLeaveNoFiles) {
  // A launch that cannot run reports an error text (never "ok" nor "err:
  // bind", which count as success), exits non-zero and leaves no socket or
  // manifest behind.
  LaunchOptions missing_program;
  missing_program.argv = {"/nonexistent/program"};
  LaunchOptions missing_cwd;
  missing_cwd.cwd = "/nonexistent/dir";
  const BadLaunch cases[] = {
      {"empty record", "", "launch record"},
      {"not JSON", "attach me", "launch record"},
      {"not an attach", R"({"type":"list"})", "list"},
      {"another pty's attach", attach_json("other", {}), "another pty"},
      {"a program that does not exist", attach_json(id, missing_program), "/nonexistent/program"},
      {"a cwd that does not exist", attach_json(id, missing_cwd), "/nonexistent/dir"},
  };
  for (const auto& b : cases) {
    SCOPED_TRACE(b.what);
    Shim shim(runtime.root, id, b.record);
    EXPECT_NE(shim.report(), "ok");
    EXPECT_FALSE(shim.report().starts_with("err: bind"));
    EXPECT_NE(shim.report().find(b.in_report), std::string::npos) << shim.report();
    auto status = shim.wait_exit(5s);
    ASSERT_NE(status, std::nullopt);
    EXPECT_NE(*status, 0);
    EXPECT_FALSE(fs::exists(socket()));
    EXPECT_FALSE(fs::exists(manifest()));
  }
}

TEST_F(ShimTest, PauseHoldsOutputUntilResume) {
  // While the attached connection is paused nothing is relayed; on resume
  // the held output arrives without a gap.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client c = attached();
  OutputLog log;
  read_until(c, log, "prompt> ");
  must(c.send(msg::Pause{pty}), "pause");
  type(c, "echo h''i\n");
  auto held = c.recv(300ms);
  ASSERT_FALSE(held) << held->message.debug();
  EXPECT_EQ(held.error().kind, ClientError::Kind::Timeout);
  must(c.send(msg::Resume{pty}), "resume");
  read_until(c, log, "hi\r\n");
  end(*shim, c, log);
}

TEST_F(ShimTest, DetachStopsRelayingAndAttachIsIdempotent) {
  // A repeated attach relays each byte once; after detach nothing is relayed
  // (output read meanwhile is dropped), and a new attach relays again.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client c = attached();
  must(c.send(msg::Attach{pty, 80, 24, std::nullopt, true, std::nullopt, {}, {}}), "attach again");
  OutputLog log;
  type(c, "echo o''ne\n");
  read_until(c, log, "one\r\nprompt> ");

  must(c.send(msg::Detach{pty}), "detach");
  type(c, "echo t''wo\n");
  auto nothing = c.recv(300ms);
  ASSERT_FALSE(nothing) << nothing->message.debug();
  EXPECT_EQ(nothing.error().kind, ClientError::Kind::Timeout);
  must(c.send(msg::List{}), "list");
  auto listed = must(c.recv(), "listed");
  ASSERT_TRUE(listed.message.is<msg::Listed>()) << listed.message.debug();
  EXPECT_GT(listed.message.get<msg::Listed>()->entries.at(0).cursor.sequence, log.next);

  must(c.send(msg::Attach{pty, 80, 24, std::nullopt, true, std::nullopt, {}, {}}), "attach");
  log.rejoin = true;
  type(c, "echo th''ree\n");
  read_until(c, log, "three\r\n");
  EXPECT_EQ(log.text.find("two"), std::string::npos) << log.text;
  end(*shim, c, log);
}

TEST_F(ShimTest, ServesConnectionsConcurrently) {
  // Two attached connections both get the output; a third, greeted but not
  // attached, gets listed answers and no output.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client a = attached();
  Client b = attached();
  Client lister = greet();
  OutputLog log_a, log_b;
  type(a, "echo h''i\n");
  read_until(a, log_a, "hi\r\n");
  read_until(b, log_b, "hi\r\n");
  must(lister.send(msg::List{}), "list");
  auto reply = must(lister.recv(), "listed");
  ASSERT_TRUE(reply.message.is<msg::Listed>()) << reply.message.debug();
  EXPECT_EQ(reply.message.get<msg::Listed>()->entries.at(0).id, pty);
  auto more = lister.recv(200ms);
  EXPECT_FALSE(more) << more->message.debug();
  end(*shim, a, log_a);
  msg::Message m = next_non_output(b, log_b);
  EXPECT_TRUE(m.is<msg::Exited>()) << m.debug();
}

TEST_F(ShimTest, EveryAttachBringsItsWindowSize) {
  // A client that attaches, first or again, gives the terminal its window
  // size, as a resize would; a size of zero changes nothing.
  auto shim = start();  // 80x24, from the launch record
  ASSERT_EQ(shim->report(), "ok");
  Client a = attached();
  OutputLog log;
  type(a, "stty size\n");
  read_until(a, log, "24 80\r\n");

  Client b = greet();
  must(b.send(msg::Attach{pty, 100, 31, std::nullopt, true, std::nullopt, {}, {}}), "attach");
  must(b.send(msg::List{}), "list");  // answered once the attach has been dealt with
  OutputLog log_b;
  ASSERT_TRUE(next_non_output(b, log_b).is<msg::Listed>());
  type(a, "stty size\n");
  read_until(a, log, "31 100\r\n");

  must(a.send(msg::Attach{pty, 90, 20, std::nullopt, true, std::nullopt, {}, {}}), "attach again");
  type(a, "stty size\n");
  read_until(a, log, "20 90\r\n");
  must(a.send(msg::Attach{pty, 0, 0, std::nullopt, true, std::nullopt, {}, {}}), "attach without a size");
  type(a, "stty size\n");
  read_until(a, log, "20 90\r\n");
  end(*shim, a, log);
}

TEST_F(ShimTest, TheProgramIsToldItsSessionInQuernSession) {
  // QUERN_SESSION holds the session's id, whatever the shim inherited and
  // whatever the launch record asked for.
  LaunchOptions o;
  o.env["QUERN_SESSION"] = "forged";
  auto shim = start(o, {{"QUERN_SESSION", "outer"}});
  ASSERT_EQ(shim->report(), "ok");
  Client c = attached();
  OutputLog log;
  type(c, "echo \"<$QUERN_SESSION>\"\n");
  read_until(c, log, "<" + id + ">\r\n");
  end(*shim, c, log);
}

// The output of one connection when it may be large: counted, with the
// last bytes kept, and every frame checked against the one before it.
struct Tally {
  std::optional<std::uint64_t> epoch;
  std::uint64_t next = 0;  // where the next frame should start
  std::uint64_t bytes = 0;
  std::uint64_t skipped = 0;  // as the shim reported it
  std::uint64_t gap = 0;      // as the sequences show it
  std::string tail;
  bool started = false;
  bool expect_gap = false;  // a report of skipped output came

  void add(const msg::Output& o, const Bytes& payload) {
    if (epoch) {
      EXPECT_EQ(o.epoch, *epoch);
    }
    if (started && expect_gap) {
      EXPECT_GT(o.sequence, next) << "skipped output leaves a gap";
      gap += o.sequence - next;
    } else if (started) {
      EXPECT_EQ(o.sequence, next) << "a gap or a repeat in the output";
    }
    expect_gap = false;
    epoch = o.epoch;
    started = true;
    next = o.sequence + payload.size();
    bytes += payload.size();
    tail += payload.view();
    if (tail.size() > 256) tail.erase(0, tail.size() - 256);
  }

  // Reads until `needle` ends up among the last bytes.
  void read_until(Client& c, std::string_view needle, std::chrono::milliseconds timeout = 30s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (tail.find(needle) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      auto p = must(c.recv(std::max(left, 1ms)), "waiting for \"" + std::string(needle) + "\"");
      if (const auto* out = p.message.get<msg::Output>()) {
        add(*out, p.payload);
        continue;
      }
      const auto* e = p.message.get<msg::Error>();
      ASSERT_TRUE(e) << p.message.debug();
      const std::string prefix = "skipped ";
      ASSERT_TRUE(e->message.starts_with(prefix)) << e->message;
      EXPECT_TRUE(e->message.ends_with(" bytes of output that came while this connection could not take them"))
          << e->message;
      skipped += std::stoull(e->message.substr(prefix.size()));
      expect_gap = true;
      tail.clear();  // what came before the gap does not count
    }
  }
};

// Output far above what a connection may hold, then a marker.
constexpr std::string_view kFlood = "head -c 8388608 /dev/zero | tr '\\0' x; echo; echo d''one\n";

TEST_F(ShimTest, APausedConnectionDoesNotHoldUpTheOthers) {
  // While one attached connection is paused the others' output goes on; the
  // paused one gets what came meanwhile when it resumes, without a gap.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client a = attached();
  Client b = attached();
  OutputLog log_a, log_b;
  // b may have missed the first prompt; both are attached once both see this.
  type(a, "echo r''eady\n");
  read_until(a, log_a, "ready\r\nprompt> ");
  read_until(b, log_b, "ready\r\nprompt> ");
  log_a.text.clear();
  log_b.text.clear();
  must(a.send(msg::Pause{pty}), "pause");
  must(a.send(msg::List{}), "list");  // answered once the pause has been dealt with
  ASSERT_TRUE(next_non_output(a, log_a).is<msg::Listed>());

  type(b, "echo h''i\n");
  auto before = std::chrono::steady_clock::now();
  read_until(b, log_b, "hi\r\nprompt> ");
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  auto held = a.recv(300ms);
  ASSERT_FALSE(held) << held->message.debug();
  EXPECT_EQ(held.error().kind, ClientError::Kind::Timeout);

  must(a.send(msg::Resume{pty}), "resume");
  read_until(a, log_a, "hi\r\nprompt> ");
  EXPECT_EQ(log_a.text, log_b.text);
  end(*shim, b, log_b);
  msg::Message m = next_non_output(a, log_a);
  EXPECT_TRUE(m.is<msg::Exited>()) << m.debug();
}

TEST_F(ShimTest, AViewerThatFellFarBehindGetsTheNewestOutputAndHowMuchItMissed) {
  // A connection that cannot take output (paused, or not reading at all)
  // while the others take 8 MiB holds at most about 1 MiB: the newest. When
  // it can take output again it hears how many bytes it missed (which the
  // sequences show as a gap), gets the newest, and then all that follows.
  for (bool paused : {true, false}) {
    SCOPED_TRACE(paused ? "paused" : "not reading");
    auto shim = start();
    ASSERT_EQ(shim->report(), "ok");
    Client a = attached();
    Client b = attached();
    Tally tally_a, tally_b;
    type(a, "echo r''eady\n");
    tally_a.read_until(a, "ready\r\nprompt> ");
    tally_b.read_until(b, "ready\r\nprompt> ");
    if (paused) {
      must(a.send(msg::Pause{pty}), "pause");
      must(a.send(msg::List{}), "list");
      auto listed = must(a.recv(), "listed");
      ASSERT_TRUE(listed.message.is<msg::Listed>()) << listed.message.debug();
    }

    // b may have missed the first prompt, so each is counted from here.
    std::uint64_t before = tally_a.bytes;
    std::uint64_t before_b = tally_b.bytes;
    type(b, kFlood);
    tally_b.read_until(b, "done\r\nprompt> ");
    EXPECT_GT(tally_b.bytes - before_b, 8u << 20);

    if (paused) must(a.send(msg::Resume{pty}), "resume");
    tally_a.read_until(a, "done\r\nprompt> ");
    EXPECT_EQ(tally_a.next, tally_b.next) << "the newest output reached the one behind";
    EXPECT_GT(tally_a.skipped, 4u << 20);
    EXPECT_EQ(tally_a.skipped, tally_a.gap);
    EXPECT_EQ(tally_a.bytes - before + tally_a.skipped, tally_b.bytes - before_b);
    EXPECT_LT(tally_a.bytes - before, 3u << 20) << "what it was sent after the flood began is bounded";

    type(b, "echo a''fter\n");
    tally_a.read_until(a, "after\r\nprompt> ");
    tally_b.read_until(b, "after\r\nprompt> ");
    EXPECT_EQ(tally_a.next, tally_b.next);
    type(b, "exit\n");
    for (Client* c : {&a, &b}) {
      auto m = must(c->recv(5s), "exited");
      while (m.message.is<msg::Output>()) m = must(c->recv(5s), "exited");
      EXPECT_TRUE(m.message.is<msg::Exited>()) << m.message.debug();
    }
    EXPECT_EQ(shim->wait_exit(5s), 0);
  }
}

TEST_F(ShimTest, ALoneViewerThatPausesMissesNothing) {
  // With one viewer, pausing holds the program back instead: nothing is read
  // from the terminal meanwhile, and after the resume every byte comes.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client a = attached();
  Tally tally;
  tally.read_until(a, "prompt> ");
  must(a.send(msg::Pause{pty}), "pause");
  type(a, kFlood);
  auto held = a.recv(500ms);
  ASSERT_FALSE(held) << held->message.debug();
  must(a.send(msg::Resume{pty}), "resume");
  tally.read_until(a, "done\r\nprompt> ");
  EXPECT_EQ(tally.skipped, 0u);
  EXPECT_GT(tally.bytes, 8u << 20);
  end(*shim);
}

struct GreetingCase {
  const char* what;
  std::string bytes;  // what the client sends first
  std::optional<std::string> error;  // the error text answered, if any
};

std::string frame_of(const msg::Message& m) {
  auto f = quern_protocol::packet::Packet{m, Bytes()}.encode_parts();
  return std::string(f->to_bytes().view());
}

TEST_F(ShimTest, ConnectionsMustBeginWithAHelloInCommon) {
  // A hello without version 1 gets the version error, a first message other
  // than hello gets no answer, a malformed header gets the frame error; each
  // connection then ends, and the shim serves the next one.
  const GreetingCase cases[] = {
      {"no version in common", frame_of(msg::Hello{{2, 3}}),
       "no protocol version in common: peer speaks [2, 3], this build [1]"},
      {"list before hello", frame_of(msg::List{}), std::nullopt},
      {"malformed header", std::string("\0\0\0\1\0\0\0\0", 8), "frame too small: totalLen 1 cannot hold a jsonLen word"},
  };
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  for (const auto& g : cases) {
    SCOPED_TRACE(g.what);
    Client c = must(Client::connect(socket()), "connect");
    must(c.send_bytes(std::span(reinterpret_cast<const std::uint8_t*>(g.bytes.data()), g.bytes.size())), "send");
    if (g.error) {
      auto reply = must(c.recv(), "error reply");
      EXPECT_EQ(reply.message, msg::Message(msg::Error{std::nullopt, *g.error}));
    }
    auto after = c.recv();
    ASSERT_FALSE(after);
    EXPECT_EQ(after.error().kind, ClientError::Kind::Closed);
  }
  end(*shim);
}

TEST_F(ShimTest, MessagesForAnotherPtyGetAnError) {
  // Requests naming another pty are refused with "no such pty" for that id
  // and change nothing here.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client c = greet();
  msg::PtyId other{"other"};
  must(c.send(msg::Attach{other, 80, 24, std::nullopt, true, std::nullopt, {}, {}}), "attach");
  auto reply = must(c.recv(), "error");
  EXPECT_EQ(reply.message, msg::Message(msg::Error{other, "no such pty"}));
  auto nothing = c.recv(200ms);
  EXPECT_FALSE(nothing) << "not attached, so no output: " << nothing->message.debug();
  end(*shim);
}

std::string seq_lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += std::to_string(i) + "\r\n";
  return s;
}

TEST_F(ShimTest, OutputWaitingInTheTerminalComesWholeInOneFrame) {
  // Output the program wrote before anyone attached waits in the terminal
  // (which holds about 17 KiB), and the terminal hands it out at most 4 KiB
  // per read: the shim reads on while there is more and sends it all in one
  // frame, in order.
  fs::path written = dir.path / "written";
  LaunchOptions o;
  o.argv = {"/bin/sh", "-c", "seq 10000 11999; : >'" + written.native() + "'; exec cat"};
  auto shim = start(o);
  ASSERT_EQ(shim->report(), "ok");
  ASSERT_TRUE(quern_test_support::eventually([&] { return fs::exists(written); }, 10s));

  Client c = attached();
  auto p = must(c.recv(10s), "output");
  const auto* out = p.message.get<msg::Output>();
  ASSERT_NE(out, nullptr) << p.message.debug();
  EXPECT_EQ(out->sequence, 0u);
  const std::string all = seq_lines(10000, 11999);
  ASSERT_EQ(p.payload.size(), all.size());
  EXPECT_TRUE(p.payload.view() == all) << p.payload.view();

  type(c, "\x04");  // cat reads end of file, and the program ends
  auto m = must(c.recv(10s), "exited");
  EXPECT_TRUE(m.message.is<msg::Exited>()) << m.message.debug();
  EXPECT_EQ(shim->wait_exit(5s), 0);
}

// A program that draws on SIGWINCH: once it has read a line it prints
// `output` (a printf format), then "redraw N" at the Nth SIGWINCH. Before
// that line SIGWINCH is ignored, so the test knows every redraw it sees.
LaunchOptions redrawing(const std::string& output = "") {
  LaunchOptions o;
  o.argv = {"/bin/sh", "-c",
            "read -r go; printf '" + output + "'; n=0; trap 'n=$((n+1)); echo \"redraw $n\"' WINCH; echo ready; "
            "while :; do sleep 60 & wait $!; done"};
  return o;
}

TEST_F(ShimTest, EveryAttachMakesTheProgramDrawAgain) {
  // Each attach, first or repeated, at the size the terminal has already,
  // sends the program SIGWINCH, and its redraw reaches every viewer.
  auto shim = start(redrawing());
  ASSERT_EQ(shim->report(), "ok");
  Client a = attached();
  OutputLog log_a;
  type(a, "go\n");
  read_until(a, log_a, "ready\r\n");

  Client b = attached();  // 80x24, as the terminal is
  OutputLog log_b;
  read_until(b, log_b, "redraw 1\r\n");
  read_until(a, log_a, "redraw 1\r\n");
  must(b.send(msg::Attach{pty, 80, 24, std::nullopt, true, std::nullopt, {}, {}}), "attach again");
  read_until(b, log_b, "redraw 2\r\n");
  must(b.send(msg::Detach{pty}), "detach");
  must(b.send(msg::Attach{pty, 80, 24, std::nullopt, true, std::nullopt, {}, {}}), "attach after a detach");
  log_b.rejoin = true;
  read_until(b, log_b, "redraw 3\r\n");
  read_until(a, log_a, "redraw 2\r\nredraw 3\r\n");
}

TEST_F(ShimTest, AViewerThatJoinsGetsTheModesThatAreOnThenTheRedraw) {
  // A viewer that attaches after the program turned modes on gets first an
  // output frame that turns on those still on, at the point where it joins
  // the output, then the program's redraw; with none on, only the redraw.
  struct Case {
    const char* what;
    std::string output;  // printed by the program, as a printf format
    std::string modes;   // what the joining viewer gets first
  };
  const Case cases[] = {
      {"a full-screen program", R"(\033[?1049h\033[?1h\033=\033[?25l\033[1mtext)",
       "\x1b[?1049h\x1b[?1h\x1b=\x1b[?25l"},
      {"mouse, focus and paste, across lines", R"(\033[?1000;1006h\n\033[?2004h\033[?1004h)",
       "\x1b[?1000h\x1b[?1004h\x1b[?1006h\x1b[?2004h"},
      {"modes turned off again", R"(\033[?1049h\033[?2004h\033=\033[?2004l\033>\033[?1049l\033[?25l\033[?25h)", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto shim = start(redrawing(c.output));
    ASSERT_EQ(shim->report(), "ok");
    Client a = attached();
    OutputLog log_a;
    type(a, "go\n");
    read_until(a, log_a, "ready\r\n");

    Client b = attached();
    auto first = must(b.recv(10s), "first frame");
    const auto* out = first.message.get<msg::Output>();
    ASSERT_NE(out, nullptr) << first.message.debug();
    EXPECT_EQ(out->epoch, log_a.epoch);
    if (!c.modes.empty()) {
      EXPECT_EQ(out->sequence, log_a.next) << "where b joins the output";
      EXPECT_EQ(first.payload.view(), c.modes);
      first = must(b.recv(10s), "the redraw");
      out = first.message.get<msg::Output>();
      ASSERT_NE(out, nullptr) << first.message.debug();
    }
    EXPECT_EQ(out->sequence, log_a.next) << "the redraw is the output that follows";
    EXPECT_EQ(first.payload.view(), "redraw 1\r\n");
  }
}

TEST_F(ShimTest, WhenAViewerLeavesTheLatestSizeOfThoseLeftComesBack) {
  // The terminal has the size of the viewer that attached or resized last
  // among those attached: when that one detaches, or its connection ends,
  // the size of the one before it comes back.
  auto shim = start();
  ASSERT_EQ(shim->report(), "ok");
  Client a = attached(120, 40);
  OutputLog log;
  // Each step is dealt with before the next: the list is answered after it.
  auto settled = [&](Client& c) {
    must(c.send(msg::List{}), "list");
    OutputLog passed;
    ASSERT_TRUE(next_non_output(c, &c == &a ? log : passed).is<msg::Listed>());
  };
  auto size_is = [&](std::string_view size) {
    type(a, "stty size\n");
    read_until(a, log, std::string(size) + "\r\n");
  };
  settled(a);
  Client b = attached(100, 30);
  settled(b);
  Client c = attached(90, 25);
  settled(c);
  must(b.send(msg::Resize{pty, 95, 28, true}), "resize");
  settled(b);
  size_is("28 95");
  must(b.send(msg::Detach{pty}), "detach");
  settled(b);
  size_is("25 90");
  c = Client(-1);  // its connection ends
  size_is("40 120");
  end(*shim, a, log);
}

TEST_F(ShimTest, AnEndThatNobodySawIsKeptUntilAViewerCollectsItOrTheSessionIsClosed) {
  // The program ends while nobody is attached: the session stays, listed
  // with the end, however long it waits, until a viewer attaches and is told
  // the end, or the daemon's close, a connection that says nothing after its
  // hello, leaves. A connection that asked something and left changes
  // nothing. Either way the shim then leaves, taking its files.
  for (bool collected : {true, false}) {
    SCOPED_TRACE(collected ? "a viewer attaches" : "the session is closed");
    const fs::path go = dir.path / "go";
    fs::remove(go);
    LaunchOptions o;
    o.argv = {"/bin/sh", "-c", "echo ready; while [ ! -e '" + go.native() + "' ]; do sleep 0.05; done; exit 7"};
    auto shim = start(o);
    ASSERT_EQ(shim->report(), "ok");
    {
      Client viewer = attached();
      OutputLog log;
      read_until(viewer, log, "ready\r\n");
      must(viewer.send(msg::Detach{pty}), "detach");
      must(viewer.send(msg::List{}), "list");  // answered once the detach has been dealt with
      ASSERT_TRUE(next_non_output(viewer, log).is<msg::Listed>());
    }
    // As the daemon's close does, before it signals anything.
    std::optional<Client> closer;
    if (!collected) closer = greet();
    { std::ofstream{go}; }

    auto listed_end = [&] {
      Client lister = greet();
      must(lister.send(msg::List{}), "list");
      auto reply = must(lister.recv(), "listed");
      const auto* listed = reply.message.get<msg::Listed>();
      return listed ? listed->entries.at(0).exited : std::nullopt;
    };
    ASSERT_TRUE(quern_test_support::eventually([&] { return listed_end().has_value(); }, 10s));
    // Well past any moment at which the shim might leave by itself.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(listed_end(), (msg::Exit{7, std::nullopt}));
    ASSERT_TRUE(fs::exists(socket()));

    if (collected) {
      Client viewer = attached();
      OutputLog log;
      msg::Message m = next_non_output(viewer, log);
      ASSERT_TRUE(m.is<msg::Exited>()) << m.debug();
      EXPECT_EQ(m.get<msg::Exited>()->code, 7);
    } else {
      closer.reset();
    }
    EXPECT_EQ(shim->wait_exit(10s), 0);
    EXPECT_FALSE(fs::exists(socket()));
    EXPECT_FALSE(fs::exists(manifest()));
  }
}

}  // namespace
