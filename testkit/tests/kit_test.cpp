// The kit as a new user tries it: quern-client on a terminal, with the real
// daemon and the real shim, in a private runtime directory.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli_support.hpp"
#include "e2e_support.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/procinfo.hpp"

namespace {

namespace msg = quern_protocol::message;
using quern_cli_test::Child;
using quern_cli_test::Pty;
using quernd_e2e::Client;
using quernd_e2e::eventually;
using quernd_e2e::must;
using quernd_e2e::parent_of;
using quernd_e2e::OutputLog;
using quernd_e2e::read_until;
using quernd_e2e::runs;
using namespace std::chrono_literals;

constexpr auto kWait = 10s;

class KitTest : public quernd_e2e::E2eTest {
 protected:
  // quern-client on `pty`, finding the daemon through QUERN_RUNTIME_DIR.
  std::unique_ptr<Child> client(Pty& pty, const std::vector<std::string>& args) {
    return std::make_unique<Child>(args, runtime.root, pty.slave);
  }
  static void keys(Pty& pty, std::string_view text) {
    ASSERT_EQ(::write(pty.master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
};

// A full-screen program: it turns on the alternate screen and application
// cursor keys and keypad, and draws its screen (the terminal's size) at the
// start and at every SIGWINCH.
const std::string kFullScreen =
    "draw() { printf '\\033[H\\033[2Jscreen %s\\n' \"$(stty size)\"; }; "
    "printf '\\033[?1049h\\033[?1h\\033='; draw; trap draw WINCH; "
    "while :; do sleep 60 & wait $!; done";

// How many sockets the process `pid` holds open.
int sockets_of(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(fd.path(), ignored).native().starts_with("socket:")) ++n;
  }
  return n;
}

TEST_F(KitTest, AnAttachThatFailsEndsAtOnceWithTheDaemonsError) {
  // A program that cannot start: the daemon's error is shown, the terminal is
  // back in its modes and the client has exited 1, without a key pressed.
  start();
  Pty pty;
  const termios before = pty.modes();
  auto c = client(pty, {"attach", "bad", "--", "/nonexistent/program"});
  EXPECT_EQ(c->wait(), 1);
  std::string err = c->err();
  EXPECT_TRUE(err.starts_with("quern-client: bad: ")) << err;
  EXPECT_NE(err.find("cannot start /nonexistent/program"), std::string::npos) << err;
  EXPECT_EQ(pty.modes().c_lflag, before.c_lflag);
}

TEST_F(KitTest, AttachingAgainGivesTheSessionThisTerminalsSize) {
  // The session takes the size of the terminal that attaches, also when it
  // already runs and its first client had another size.
  start();
  Pty pty;
  pty.set_size(100, 30);
  auto first = client(pty, {"attach", "work", "--", "/bin/sh"});
  keys(pty, "stty size\n");
  ASSERT_TRUE(pty.read_until("30 100", kWait)) << pty.drain();
  keys(pty, "\x1c");
  EXPECT_EQ(first->wait(), 0);
  EXPECT_EQ(first->err(), "[detached]\n");

  pty.set_size(120, 40);
  auto second = client(pty, {"attach", "work"});
  keys(pty, "stty size\n");
  ASSERT_TRUE(pty.read_until("40 120", kWait)) << pty.drain();
  keys(pty, "exit\n");
  EXPECT_EQ(second->wait(), 0);
  EXPECT_EQ(second->err(), "[exited: code 0]\n");
}

TEST_F(KitTest, TheChosenDetachKeyDetachesAndEveryKeyBeforeItArrives) {
  // The keys are typed in one piece into `cat > file` on a raw terminal:
  // what comes before the detach key reaches the program, the key and what
  // follows it do not; another key leaves Ctrl-\ to the program, and with
  // -E no key detaches.
  struct Case {
    std::vector<std::string> options;
    std::string keys;
    std::string arrives;
    bool detaches;
  };
  const Case cases[] = {
      {{}, "hello\r\x1c" "after", "hello\r", true},
      {{"-e", "^]"}, "a\x1c\x1d" "b", "a\x1c", true},
      {{"-e", "^A"}, "a\x1c\x01" "b", "a\x1c", true},
      {{"-e", "q"}, "a\x1cq" "b", "a\x1c", true},
      {{"-E"}, "a\x1c\x1d" "b", "a\x1c\x1d" "b", false},
  };
  start();
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.options));
    const std::string id = "keys" + std::to_string(n++);
    const auto file = dir.path / (id + ".typed");
    Pty pty;
    std::vector<std::string> args = {"attach"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {id, "--", "/bin/sh", "-c", "stty raw -echo && echo ready && exec cat > " + file.native()});
    auto cl = client(pty, args);
    ASSERT_TRUE(pty.read_until("ready", kWait)) << pty.drain();
    keys(pty, c.keys);
    ASSERT_TRUE(eventually([&] { return quernd_e2e::read_file(file) == c.arrives; }, kWait))
        << testing::PrintToString(quernd_e2e::read_file(file));
    if (c.detaches) {
      EXPECT_EQ(cl->wait(), 0);
      EXPECT_EQ(cl->err(), "[detached]\n");
    } else {
      ASSERT_EQ(::kill(cl->pid(), SIGTERM), 0);
      EXPECT_EQ(cl->wait(), 1);
      EXPECT_EQ(cl->err(), "quern-client: stopped by signal 15\n");
    }
    EXPECT_EQ(quernd_e2e::read_file(file), c.arrives);
  }
}

TEST_F(KitTest, AttachingToTheSessionFromInsideItIsRefused) {
  // The session's shell knows its session (QUERN_SESSION); a client started
  // there refuses to attach to it and exits 1, and the session goes on.
  start();
  Pty pty;
  auto outer = client(pty, {"attach", "work", "--", "/bin/sh"});
  keys(pty, std::string(QUERN_CLIENT_BIN_PATH) + " attach work; echo \"rc=$?\" \"[$QUERN_SESSION]\"\n");
  ASSERT_TRUE(pty.read_until(
      "quern-client: work: this terminal is that session (QUERN_SESSION); attaching to it from inside would feed its "
      "output back into itself: attach from another terminal\r\nrc=1 [work]",
      kWait))
      << pty.drain();
  keys(pty, "echo st''ill here\n");
  ASSERT_TRUE(pty.read_until("still here", kWait)) << pty.drain();
  keys(pty, "\x1c");
  EXPECT_EQ(outer->wait(), 0);
}

TEST_F(KitTest, WhenTheDaemonStopsTheSessionGoesOnAndIsAttachedAgain) {
  // The client says that the session runs on without the daemon; once a
  // daemon runs again the same shell is attached again.
  auto& d = start();
  Pty pty;
  auto c = client(pty, {"attach", "work", "--", "/bin/sh"});
  // Keys typed before the client's raw mode are echoed by this terminal, so
  // each needle is output that the typed text does not hold.
  keys(pty, "MARK=ke''pt; echo ma''rked\n");
  ASSERT_TRUE(pty.read_until("marked", kWait)) << pty.drain();
  auto m = manifest_of("work");
  d.stop();
  EXPECT_EQ(c->wait(), 1);
  EXPECT_EQ(c->err(),
            "quern-client: the daemon closed the connection; session work goes on without it: attach again once the "
            "daemon runs\n");
  EXPECT_TRUE(runs(m.shell_pid, m.shell_started_at));

  start();
  auto again = client(pty, {"attach", "work"});
  keys(pty, "echo \"[$MARK]\"\n");
  ASSERT_TRUE(pty.read_until("[kept]", kWait)) << pty.drain();
  keys(pty, "exit\n");
  EXPECT_EQ(again->wait(), 0);
}

TEST_F(KitTest, WithoutADaemonTheClientSaysHowToStartOne) {
  Pty pty;
  auto c = client(pty, {"list"});
  EXPECT_EQ(c->wait(), 1);
  EXPECT_EQ(c->err(), "quern-client: no daemon at " + runtime.daemon_socket().native() +
                          ": start it with " QUERND_BIN " (or ./scripts/run.sh in the repository), then try again\n");
}

TEST_F(KitTest, ListShowsATableOrSaysThereAreNoSessions) {
  start();
  Pty pty;
  auto empty = client(pty, {"list"});
  EXPECT_EQ(empty->wait(), 0);
  EXPECT_EQ(pty.drain(), "no sessions\r\n");

  auto& d = daemons.back();
  Client c = connect(*d);
  attach(c, "work");
  auto listed = client(pty, {"list"});
  EXPECT_EQ(listed->wait(), 0);
  EXPECT_EQ(pty.drain(), "ID    STATE\r\nwork  running\r\n");
}

TEST_F(KitTest, AViewerThatStopsReadingDoesNotFreezeTheOthers) {
  // One client attached that reads nothing while another's session prints
  // 16 MiB: the other takes it all at once, and the stalled one loses only
  // its own share of the output.
  auto& d = start();
  Client stalled = connect(d);
  attach(stalled, "shared");
  Client reader = connect(d);
  must(reader.send(attach_request("shared")), "attach");
  OutputLog log{msg::PtyId{"shared"}};
  type(reader, "shared", "echo r''eady\n");
  read_until(reader, log, "ready\r\n");

  auto before = std::chrono::steady_clock::now();
  type(reader, "shared", "head -c 16777216 /dev/zero | tr '\\0' x; echo; echo d''one\n");
  std::uint64_t bytes = 0;
  std::string tail;
  while (tail.find("done\r\n") == std::string::npos) {
    auto p = must(reader.recv(20s), "output");
    const auto* out = p.message.get<msg::Output>();
    ASSERT_TRUE(out) << p.message.debug();
    bytes += p.payload.size();
    tail += p.payload.view();
    if (tail.size() > 64) tail.erase(0, tail.size() - 64);
  }
  EXPECT_GT(bytes, 16u << 20);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s) << "the stalled viewer held the session back";
}

TEST_F(KitTest, CloseMissesAProcessThatLeftTheSessionsTreeCompletely) {
  // What the README says of close: a process that left the tree in every way
  // the process table shows (a session of its own, no terminal, no longer
  // the shell's descendant) is not found, and outlives the close.
  auto& d = start();
  Client c = connect(d);
  attach(c, "doomed");
  auto m = manifest_of("doomed");
  auto pid_file = dir.path / "gone.pid";
  type(c, "doomed",
       "setsid sh -c 'echo $$ > " + pid_file.native() + ".tmp && mv " + pid_file.native() + ".tmp " +
           pid_file.native() + "; exec sleep 300' </dev/null >/dev/null 2>&1 &\n");
  pid_t gone = 0;
  ASSERT_TRUE(eventually(
      [&] {
        std::string text = quernd_e2e::read_file(pid_file);
        if (text.empty() || text.back() != '\n') return false;
        gone = static_cast<pid_t>(std::stol(text));
        return true;
      },
      kWait));
  auto started = quern_session::procinfo::start_time(gone);
  ASSERT_TRUE(started);
  strays.emplace_back(gone, *started);
  EXPECT_EQ(::getsid(gone), gone);
  EXPECT_TRUE(eventually([&] { return parent_of(gone) != m.shell_pid; }, kWait)) << "re-parented";

  must(c.send(msg::Close{msg::PtyId{"doomed"}}), "close");
  EXPECT_TRUE(eventually([&] { return !runs(m.shell_pid, m.shell_started_at); }, 20s)) << "the shell ends";
  EXPECT_TRUE(eventually([&] { return !runs(m.shim_pid, m.started_at); }, 10s)) << "and so does its shim";
  EXPECT_TRUE(runs(gone, *started)) << "the process that left completely is not found";
}

TEST_F(KitTest, AttachingAgainShowsTheProgramsScreenInTheModesItTurnedOn) {
  // Detached from a full-screen program and attached again at the same size:
  // the terminal gets the sequences that turn its modes on again, then the
  // program's screen drawn anew, right after them.
  start();
  Pty pty;
  pty.set_size(80, 24);
  auto first = client(pty, {"attach", "full", "--", "/bin/sh", "-c", kFullScreen});
  ASSERT_TRUE(pty.read_until("\x1b[?1049h\x1b[?1h\x1b=", kWait)) << pty.drain();
  ASSERT_TRUE(pty.read_until("screen 24 80\r\n", kWait)) << pty.drain();
  keys(pty, "\x1c");
  EXPECT_EQ(first->wait(), 0);
  pty.drain();

  auto again = client(pty, {"attach", "full"});
  ASSERT_TRUE(pty.read_until("\x1b[?1049h\x1b[?1h\x1b=\x1b[H\x1b[2Jscreen 24 80\r\n", kWait)) << pty.drain();
  keys(pty, "\x1c");
  EXPECT_EQ(again->wait(), 0);
  EXPECT_EQ(pty.drain(), "\x1b[?1l\x1b>\x1b[?1049l") << "the modes are turned off again at the detach";
}

TEST_F(KitTest, WhenAViewerLeavesTheSessionTakesTheSizeOfTheOneStillThere) {
  // A at 120x40, then B at 90x25, which sets the size while it is there;
  // once B detaches, the session is 120x40 again and the program redraws.
  start();
  Pty big, small;
  big.set_size(120, 40);
  small.set_size(90, 25);
  auto a = client(big, {"attach", "sized", "--", "/bin/sh", "-c", kFullScreen});
  ASSERT_TRUE(big.read_until("screen 40 120", kWait)) << big.drain();
  auto b = client(small, {"attach", "sized"});
  ASSERT_TRUE(small.read_until("screen 25 90", kWait)) << small.drain();
  ASSERT_TRUE(big.read_until("screen 25 90", kWait)) << big.drain();
  keys(small, "\x1c");
  EXPECT_EQ(b->wait(), 0);
  ASSERT_TRUE(big.read_until("screen 40 120", kWait)) << big.drain();
  keys(big, "\x1c");
  EXPECT_EQ(a->wait(), 0);
}

TEST_F(KitTest, ListAttachAndCloseFollowTheSessionsLifecycle) {
  // Row by row, the lifecycle table of the README.
  start();
  Pty pty;
  // One command of the client on the terminal: its exit status, then what
  // it showed on the terminal and on standard error.
  auto run = [&](const std::vector<std::string>& args) {
    auto c = client(pty, args);
    int status = c->wait(30s);
    return std::tuple{status, pty.drain(), c->err()};
  };
  using Result = std::tuple<int, std::string, std::string>;
  const Result none{0, "no sessions\r\n", ""};
  const Result gone{1, "", "quern-client: s: no such pty\n"};

  {
    SCOPED_TRACE("the program runs");
    auto c = client(pty, {"attach", "s", "--", "/bin/sh"});
    keys(pty, "echo st''arted\n");
    ASSERT_TRUE(pty.read_until("started", kWait)) << pty.drain();
    keys(pty, "\x1c");
    EXPECT_EQ(c->wait(), 0);
    pty.drain();
    EXPECT_EQ(run({"list"}), (Result{0, "ID  STATE\r\ns   running\r\n", ""}));
    EXPECT_EQ(run({"close", "s"}), (Result{0, "", ""}));
    EXPECT_EQ(run({"list"}), none) << "gone once close returns";
  }
  {
    SCOPED_TRACE("the program ended while a client was attached");
    EXPECT_EQ(run({"attach", "s", "--", "/bin/sh", "-c", "exit 3"}), (Result{0, "", "[exited: code 3]\n"}));
    EXPECT_EQ(run({"list"}), none);
    EXPECT_EQ(run({"close", "s"}), gone);
    EXPECT_EQ(run({"attach", "s", "--", "/bin/sh", "-c", "exit 4"}), (Result{0, "", "[exited: code 4]\n"}))
        << "a new session under the same id";
  }
  for (bool by_attach : {true, false}) {
    SCOPED_TRACE(by_attach ? "the program ended while no client was attached; attach" : "... ; close");
    const auto go = dir.path / "go";
    std::filesystem::remove(go);
    auto c = client(pty, {"attach", "s", "--", "/bin/sh"});
    keys(pty, "echo st''arted; while [ ! -e '" + go.native() + "' ]; do sleep 0.05; done; exit 5\n");
    ASSERT_TRUE(pty.read_until("started", kWait)) << pty.drain();
    keys(pty, "\x1c");
    EXPECT_EQ(c->wait(), 0);
    pty.drain();
    // The shim has seen the client go once only its listening socket is left.
    auto m = manifest_of("s");
    ASSERT_TRUE(eventually([&] { return sockets_of(m.shim_pid) == 1; }, 20s));
    { std::ofstream{go}; }
    const Result ended{0, "ID  STATE\r\ns   exited: code 5\r\n", ""};
    ASSERT_TRUE(eventually([&] { return run({"list"}) == ended; }, 20s));
    if (by_attach) {
      EXPECT_EQ(run({"attach", "s"}), (Result{0, "", "[exited: code 5]\n"}));
    } else {
      EXPECT_EQ(run({"close", "s"}), (Result{0, "", ""}));
    }
    EXPECT_EQ(run({"list"}), none);
    EXPECT_EQ(run({"close", "s"}), gone);
  }
}

}  // namespace
