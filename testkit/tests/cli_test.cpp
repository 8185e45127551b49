// quern-client run for real against a fake daemon played by the test itself:
// a unix listener on a temporary path that answers as each case needs.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli_support.hpp"
#include "quern_protocol/packet.hpp"
#include "quern_session/paths.hpp"
#include "quern_test_support/socket.hpp"
#include "quern_testkit/client.hpp"

namespace {

using namespace quern_cli_test;
namespace msg = quern_protocol::message;
using quern_protocol::Bytes;
using quern_testkit::Client;

// The daemon's side of the socket, played by the test. It listens where
// quern-client looks by default when QUERN_RUNTIME_DIR is `dir`.
class FakeDaemon {
 public:
  TempDir dir;
  fs::path socket = quern_session::paths::Runtime{dir.path}.daemon_socket();

  FakeDaemon() {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    set_cloexec(listener_);
    const sockaddr_un addr = quern_test_support::unix_address(socket);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 4) != 0) {
      throw std::runtime_error("cannot listen on " + socket.string());
    }
  }
  ~FakeDaemon() {
    if (listener_ >= 0) ::close(listener_);
  }

  Client accept(std::chrono::milliseconds timeout = kWait) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
      throw std::runtime_error("quern-client did not connect");
    }
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) throw std::runtime_error("accept failed");
    set_cloexec(fd);
    return Client(fd);
  }

  // Accepts, expects a hello offering version 1 and answers welcome.
  Client greet() {
    Client c = accept();
    auto hello = must(c.recv(kWait), "hello");
    const auto* h = hello.message.get<msg::Hello>();
    EXPECT_TRUE(h && std::ranges::find(h->versions, 1u) != h->versions.end()) << hello.message.debug();
    must(c.send(msg::Welcome{1}), "welcome");
    return c;
  }

  // Leaves the socket file with nobody listening on it.
  void stop_listening() {
    ::close(listener_);
    listener_ = -1;
  }

 private:
  int listener_ = -1;
};

// The attach, and the hello that the client sends right after it to learn
// when the daemon has dealt with it; answering that hello attaches the client.
msg::Message take_attach(Client& c) {
  auto attach = must(c.recv(kWait), "attach");
  EXPECT_TRUE(attach.message.is<msg::Attach>()) << attach.message.debug();
  auto hello = must(c.recv(kWait), "hello after the attach");
  EXPECT_EQ(hello.message, msg::Message(msg::Hello{{1}}));
  must(c.send(msg::Welcome{1}), "welcome");
  return attach.message;
}

// What the detach key brings: a hello, whose welcome tells the client that
// the daemon has taken the input sent before it, and then the detach.
void take_detach(Client& c, const std::string& id = "work") {
  auto hello = must(c.recv(kWait), "hello before the detach");
  EXPECT_EQ(hello.message, msg::Message(msg::Hello{{1}}));
  must(c.send(msg::Welcome{1}), "welcome");
  auto detach = must(c.recv(kWait), "detach");
  EXPECT_EQ(detach.message, msg::Message(msg::Detach{msg::PtyId{id}}));
}

// Frames sent in one write, so that the client reads them together.
void send_together(Client& c, const std::vector<msg::Message>& messages) {
  std::string bytes;
  for (const auto& m : messages) {
    auto f = quern_protocol::packet::Packet{m, Bytes()}.encode_parts();
    ASSERT_TRUE(f);
    bytes += f->to_bytes().view();
  }
  ASSERT_EQ(::write(c.fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}


TEST(CliUsage, BadCommandLinesExitTwoWithUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string why;
  };
  std::vector<Case> cases = {
      {{}, "missing command"},
      {{"frob"}, "unknown command frob"},
      {{"list", "x"}, "list takes no operands"},
      {{"attach"}, "attach takes one session id"},
      {{"attach", "a", "b"}, "attach takes one session id"},
      {{"close"}, "close takes one session id"},
      {{"close", "a", "--", "x"}, "only attach takes a command after --"},
      {{"list", "--bogus"}, "unknown option --bogus"},
      {{"list", "--socket"}, "--socket needs a path"},
      {{"attach", "work", "-e"}, "-e needs a character"},
      {{"attach", "-e", "^]", "-E", "work"}, "-e and -E exclude each other"},
      {{"list", "-E"}, "only attach takes -e, -E and --no-tty"},
      {{"close", "--no-tty", "work"}, "only attach takes -e, -E and --no-tty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Child child(c.args);
    EXPECT_EQ(child.wait(), 2);
    std::string err = child.err();
    EXPECT_NE(err.find("quern-client: " + c.why + "\n"), std::string::npos) << err;
    EXPECT_NE(err.find("usage: quern-client"), std::string::npos) << err;
  }
}

TEST(CliConnect, AFailedHandshakeExitsOne) {
  // With no daemon to reach, the client says where it looked and how to
  // start one: the daemon of its own build.
  struct Case {
    const char* what;
    std::function<void(FakeDaemon&)> daemon;  // nullptr: nothing listens
    std::string err;                          // "{socket}" stands for the socket's path
  };
  const std::string no_daemon =
      "quern-client: no daemon at {socket}: start it with " QUERND_BIN " (or ./scripts/run.sh in the repository), "
      "then try again\n";
  std::vector<Case> cases = {
      {"no socket file", nullptr, no_daemon},
      {"a socket file that nobody serves", [](FakeDaemon& d) { d.stop_listening(); }, no_daemon},
      {"the daemon hangs up after hello",
       [](FakeDaemon& d) {
         Client c = d.accept();
         must(c.recv(kWait), "hello");
       },
       "quern-client: no welcome: peer closed the stream\n"},
      {"the daemon refuses the versions",
       [](FakeDaemon& d) {
         Client c = d.accept();
         must(c.recv(kWait), "hello");
         must(c.send(msg::Error{std::nullopt, "no common version"}), "error");
       },
       "quern-client: no common version\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDaemon d;
    if (!c.daemon) ::unlink(d.socket.c_str());
    if (c.daemon == nullptr || c.err == no_daemon) {
      if (c.daemon) c.daemon(d);
      Child child({"--socket", d.socket.string(), "list"});
      EXPECT_EQ(child.wait(), 1);
      std::string err = c.err;
      err.replace(err.find("{socket}"), 8, d.socket.string());
      EXPECT_EQ(child.err(), err);
      EXPECT_EQ(child.out(), "");
      continue;
    }
    Child child({"--socket", d.socket.string(), "list"});
    c.daemon(d);
    EXPECT_EQ(child.wait(), 1);
    EXPECT_NE(child.err().find(c.err), std::string::npos) << child.err();
    EXPECT_EQ(child.out(), "");
  }
}

TEST(CliList, PrintsATableOfIdAndStateFromTheDefaultSocket) {
  // One row per session under a heading, sorted by id, the columns aligned
  // (a UTF-8 character is one column); control characters in an id are
  // written as escapes, so that each row is one line.
  FakeDaemon d;
  Child child({"list"}, d.dir.path);  // no --socket: found through QUERN_RUNTIME_DIR
  Client c = d.greet();
  auto list = must(c.recv(kWait), "list");
  EXPECT_TRUE(list.message.is<msg::List>()) << list.message.debug();
  must(c.send(msg::Listed{{
           msg::PtyEntry{msg::PtyId{"work"}, msg::Cursor{1, 2}, std::nullopt},
           msg::PtyEntry{msg::PtyId{"b\tä"}, msg::Cursor{3, 4}, msg::Exit{0, std::nullopt}},
           msg::PtyEntry{msg::PtyId{"a long id"}, msg::Cursor{5, 6}, msg::Exit{std::nullopt, 9}},
       }}),
       "listed");
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.out(),
            "ID         STATE\n"
            "a long id  exited: signal 9\n"
            "b\\x09ä     exited: code 0\n"
            "work       running\n");
  EXPECT_EQ(child.err(), "");
}

TEST(CliList, SaysSoWhenThereAreNoSessions) {
  FakeDaemon d;
  Child child({"--socket", d.socket.string(), "list"});
  Client c = d.greet();
  must(c.recv(kWait), "list");
  must(c.send(msg::Listed{{}}), "listed");
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.out(), "no sessions\n");
  EXPECT_EQ(child.err(), "");
}

TEST(CliList, AnErrorReplyGoesToStderrAndExitsOne) {
  FakeDaemon d;
  Child child({"--socket", d.socket.string(), "list"});
  Client c = d.greet();
  must(c.recv(kWait), "list");
  must(c.send(msg::Error{std::nullopt, "listing failed"}), "error");
  EXPECT_EQ(child.wait(), 1);
  EXPECT_EQ(child.out(), "");
  EXPECT_EQ(child.err(), "quern-client: listing failed\n");
}

TEST(CliClose, WaitsUntilTheSessionHasLeftTheListAndAnErrorOrAHangUpIsFailure) {
  // A close is not answered unless it fails; the client asks for the list
  // right after it, and again until the session is no longer in it.
  struct Case {
    const char* what;
    std::optional<std::string> reply;  // to the close
    std::vector<std::vector<std::string>> lists;  // the ids of each list answered
    bool hang_up;
    int status;
    std::string err;
  };
  std::vector<Case> cases = {
      {"no reply, and the session leaves the list", std::nullopt, {{"gone", "other"}, {"gone"}, {"other"}}, false, 0,
       ""},
      {"error reply", "no such pty", {}, false, 1, "quern-client: gone: no such pty\n"},
      {"the daemon hangs up", std::nullopt, {}, true, 1, "quern-client: close: peer closed the stream\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDaemon d;
    Child child({"close", "--socket", d.socket.string(), "gone"});
    Client conn = d.greet();
    auto close = must(conn.recv(kWait), "close");
    EXPECT_EQ(close.message, msg::Message(msg::Close{msg::PtyId{"gone"}}));
    if (c.reply) must(conn.send(msg::Error{msg::PtyId{"gone"}, *c.reply}), "error");
    for (const auto& ids : c.lists) {
      EXPECT_EQ(must(conn.recv(kWait), "list").message, msg::Message(msg::List{}));
      std::vector<msg::PtyEntry> entries;
      for (const auto& id : ids) entries.push_back({msg::PtyId{id}, msg::Cursor{1, 0}, std::nullopt});
      must(conn.send(msg::Listed{entries}), "listed");
    }
    if (c.hang_up) {
      EXPECT_EQ(must(conn.recv(kWait), "list").message, msg::Message(msg::List{}));
      conn = Client(-1);
    }
    EXPECT_EQ(child.wait(), c.status);  // the connection stays open meanwhile
    EXPECT_EQ(child.err(), c.err);
    if (c.status == 0) {
      auto more = conn.recv(200ms);
      EXPECT_FALSE(more) << "no list after the one without the session: " << more->message.debug();
    }
  }
}

TEST(CliAttach, RelaysInputAndOutputUntilTheSessionExits) {
  // Input read after stdin ends does not end the session; an error is shown
  // and the session goes on; `exited` ends it with status 0.
  struct Case {
    msg::Exited exited;
    std::string last_line;
  };
  std::vector<Case> cases = {
      {msg::Exited{msg::PtyId{"work"}, 1, 9, 3, std::nullopt}, "[exited: code 3]\n"},
      {msg::Exited{msg::PtyId{"work"}, 1, 9, std::nullopt, 9}, "[exited: signal 9]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.last_line);
    FakeDaemon d;
    Child child({"--socket", d.socket.string(), "attach", "--no-tty", "work", "--", "/bin/sh", "-c", "echo hi"});
    // The input and its end wait in the pipe until the client starts reading.
    child.type("ls\n");
    child.end_input();
    Client conn = d.greet();
    auto list = must(conn.recv(kWait), "list");  // does the session run? (it does not)
    EXPECT_TRUE(list.message.is<msg::List>()) << list.message.debug();
    must(conn.send(msg::Listed{{}}), "listed");

    auto attach = must(conn.recv(kWait), "attach");
    msg::Attach expected{msg::PtyId{"work"}, 80, 24, std::nullopt, true, fs::current_path().string(),
                         {"/bin/sh", "-c", "echo hi"}, {{"TERM", "xterm-test"}}};
    EXPECT_EQ(attach.message, msg::Message(expected)) << attach.message.debug();
    auto hello = must(conn.recv(kWait), "hello after the attach");
    EXPECT_EQ(hello.message, msg::Message(msg::Hello{{1}}));

    auto write = must(conn.recv(kWait), "write");
    EXPECT_EQ(write.message, msg::Message(msg::Write{msg::PtyId{"work"}}));
    EXPECT_EQ(write.payload.view(), "ls\n");
    std::this_thread::sleep_for(50ms);  // lets the client meet the end of its input first

    // Once the daemon has answered past the attach, an error is only shown.
    must(conn.send(msg::Welcome{1}), "welcome");
    must(conn.send(msg::Error{msg::PtyId{"work"}, "input queue full"}), "error");
    must(conn.send(msg::Output{msg::PtyId{"work"}, 1, 0}, Bytes::copy_from("file\r\n")), "output");
    must(conn.send(msg::Output{msg::PtyId{"work"}, 1, 6}, Bytes::copy_from(std::string("\0\xff", 2))), "output");
    must(conn.send(c.exited), "exited");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.out(), std::string("file\r\n\0\xff", 8));
    EXPECT_EQ(child.err(), "quern-client: work: input queue full\n" + c.last_line);
  }
}

TEST(CliAttach, TheDetachKeySendsWhatCameBeforeItAndDetachesOnceTheDaemonHasIt) {
  // The daemon drops input still on its way to the session when it detaches:
  // the detach waits for its answer to a hello sent behind the input.
  FakeDaemon d;
  Child child({"--socket", d.socket.string(), "attach", "--no-tty", "work"});
  Client conn = d.greet();
  auto attach = take_attach(conn);
  ASSERT_TRUE(attach.is<msg::Attach>());
  EXPECT_TRUE(attach.get<msg::Attach>()->argv.empty());

  child.type("ab\x1c" "cd");
  auto write = must(conn.recv(kWait), "write");
  EXPECT_EQ(write.message, msg::Message(msg::Write{msg::PtyId{"work"}}));
  EXPECT_EQ(write.payload.view(), "ab");
  auto hello = must(conn.recv(kWait), "hello");
  EXPECT_EQ(hello.message, msg::Message(msg::Hello{{1}}));
  auto early = conn.recv(300ms);
  ASSERT_FALSE(early) << "nothing before the welcome: " << early->message.debug();
  EXPECT_EQ(early.error().kind, ClientError::Kind::Timeout);
  must(conn.send(msg::Welcome{1}), "welcome");
  auto detach = must(conn.recv(kWait), "detach");
  EXPECT_EQ(detach.message, msg::Message(msg::Detach{msg::PtyId{"work"}}));
  EXPECT_EQ(child.wait(), 0);
  // Nothing after the key is sent: the next thing is the end of the stream.
  auto after = conn.recv(kWait);
  ASSERT_FALSE(after) << after->message.debug();
  EXPECT_EQ(after.error().kind, ClientError::Kind::Closed);
  EXPECT_EQ(child.err(), "[detached]\n");
}

TEST(CliAttach, TheDaemonHangingUpExitsOneAndSaysTheSessionGoesOn) {
  // Once attached (the first output, or the answer past the attach, tells),
  // the client says that the session runs on without the daemon; before
  // that it says only that the connection was lost.
  struct Case {
    const char* what;
    bool welcome;
    std::string output;
    std::string err;
  };
  const std::string goes_on =
      "quern-client: the daemon closed the connection; session work goes on without it: attach again once the "
      "daemon runs\n";
  const Case cases[] = {
      {"after output", false, "partial", goes_on},
      {"after the answer past the attach", true, "", goes_on},
      {"before either", false, "", "quern-client: the daemon closed the connection before work was attached\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDaemon d;
    Child child({"--socket", d.socket.string(), "attach", "--no-tty", "work"});
    {
      Client conn = d.greet();
      must(conn.recv(kWait), "attach");
      must(conn.recv(kWait), "hello");
      if (c.welcome) must(conn.send(msg::Welcome{1}), "welcome");
      if (!c.output.empty()) {
        must(conn.send(msg::Output{msg::PtyId{"work"}, 1, 0}, Bytes::copy_from(c.output)), "output");
      }
    }
    EXPECT_EQ(child.wait(), 1);
    EXPECT_EQ(child.out(), c.output);
    EXPECT_EQ(child.err(), c.err);
  }
}

TEST(CliAttach, AnErrorForTheAttachEndsItAtOnce) {
  // The daemon refuses the attach (a program that cannot start, a shim that
  // does not answer): the client leaves raw mode, shows the error and exits 1
  // without waiting for a key, while the connection stays open.
  Pty pty;
  const termios before = pty.modes();
  FakeDaemon d;
  Child child({"--socket", d.socket.string(), "attach", "work", "--", "/nonexistent/program"}, "/nonexistent",
              pty.slave);
  Client conn = d.greet();
  must(conn.recv(kWait), "list");  // does the session run? (it does not)
  must(conn.send(msg::Listed{{}}), "listed");
  must(conn.recv(kWait), "attach");
  must(conn.recv(kWait), "hello");
  ASSERT_TRUE(eventually([&] { return !(pty.modes().c_lflag & ICANON); }, kWait)) << "raw mode";
  auto sent = std::chrono::steady_clock::now();
  must(conn.send(msg::Error{msg::PtyId{"work"}, "cannot start /nonexistent/program: No such file or directory"}),
       "error");
  EXPECT_EQ(child.wait(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s);
  EXPECT_EQ(child.err(), "quern-client: work: cannot start /nonexistent/program: No such file or directory\n");
  EXPECT_EQ(pty.drain(), "");
  const termios after = pty.modes();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  auto nothing = conn.recv(200ms);
  ASSERT_FALSE(nothing) << "nothing is sent after the error: " << nothing->message.debug();
  EXPECT_EQ(nothing.error().kind, ClientError::Kind::Closed);
}

TEST(CliAttach, RefusesTheSessionItRunsInside) {
  // Inside session "work" (its shim says so in QUERN_SESSION) the client
  // refuses to attach to "work", before reaching for the daemon, and
  // attaches to any other session.
  FakeDaemon d;
  {
    Child child({"--socket", d.socket.string(), "attach", "work"}, "/nonexistent", -1, {"QUERN_SESSION=work"});
    EXPECT_EQ(child.wait(), 1);
    EXPECT_EQ(child.err(),
              "quern-client: work: this terminal is that session (QUERN_SESSION); attaching to it from inside would "
              "feed its output back into itself: attach from another terminal\n");
    EXPECT_THROW(d.accept(200ms), std::runtime_error) << "the client did not connect";
  }
  Child child({"--socket", d.socket.string(), "attach", "--no-tty", "other"}, "/nonexistent", -1,
              {"QUERN_SESSION=work"});
  Client conn = d.greet();
  EXPECT_EQ(take_attach(conn).get<msg::Attach>()->id, msg::PtyId{"other"});
  child.type("\x1c");
  take_detach(conn, "other");
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.err(), "[detached]\n");
}

TEST(CliArgs, BadIdsAndDetachKeysExitOneBeforeReachingTheDaemon) {
  // On a terminal, as a person types them: each says what is wrong.
  const std::string key_help =
      ": the detach key is one character, or ^ and a letter for a control key (^A to ^Z, also ^@ ^[ ^\\ ^] ^^ ^_ "
      "^?), such as -e '^]'\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"attach", ""}, "quern-client: the session id is empty\n"},
      {{"close", ""}, "quern-client: the session id is empty\n"},
      {{"attach", std::string(257, 'x')}, "quern-client: the session id is 257 bytes long; at most 256 are allowed\n"},
      {{"close", "\xff"}, "quern-client: the session id is not UTF-8\n"},
      {{"attach", "caf\xe9"}, "quern-client: the session id is not UTF-8\n"},
      {{"attach", "-e", "ab", "work"}, "quern-client: -e ab" + key_help},
      {{"attach", "-e", "", "work"}, "quern-client: -e \"\"" + key_help},
      {{"attach", "-e", "^1", "work"}, "quern-client: -e ^1" + key_help},
      {{"attach", "-e", "^]]", "work"}, "quern-client: -e ^]]" + key_help},
      {{"attach", "-e", "\xc3\xa9", "work"}, "quern-client: -e \xc3\xa9" + key_help},  // one character, two bytes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Pty pty;
    FakeDaemon d;
    std::vector<std::string> args = {"--socket", d.socket.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child child(args, "/nonexistent", pty.slave);
    EXPECT_EQ(child.wait(), 1);
    EXPECT_EQ(child.err(), c.err);
    EXPECT_THROW(d.accept(200ms), std::runtime_error) << "the client did not connect";
  }
  // The longest id goes through.
  FakeDaemon d;
  const std::string longest(256, 'x');
  Child child({"--socket", d.socket.string(), "close", longest});
  Client conn = d.greet();
  auto close = must(conn.recv(kWait), "close");
  EXPECT_EQ(close.message, msg::Message(msg::Close{msg::PtyId{longest}}));
  auto list = must(conn.recv(kWait), "list");  // has the session left the list? (it has)
  EXPECT_TRUE(list.message.is<msg::List>()) << list.message.debug();
  must(conn.send(msg::Listed{{}}), "listed");
  EXPECT_EQ(child.wait(), 0);
}

TEST(CliAttach, RefusesStandardInputThatIsNotATerminalUnlessAsked) {
  // As tmux does; --no-tty attaches with a pipe all the same.
  FakeDaemon d;
  {
    Child child({"--socket", d.socket.string(), "attach", "work"});
    EXPECT_EQ(child.wait(), 1);
    EXPECT_EQ(child.err(), "quern-client: attach: standard input is not a terminal (--no-tty attaches with it all the "
                           "same)\n");
    EXPECT_THROW(d.accept(200ms), std::runtime_error) << "the client did not connect";
  }
  Child child({"--socket", d.socket.string(), "attach", "--no-tty", "work"});
  child.end_input();
  Client conn = d.greet();
  take_attach(conn);
  must(conn.send(msg::Exited{msg::PtyId{"work"}, 1, 0, 0, std::nullopt}), "exited");
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.err(), "[exited: code 0]\n");
}

TEST(CliAttach, SaysSoWhenACommandIsGivenForASessionThatRuns) {
  // With a command, the client first asks whether the session runs: if it
  // does, the command is not used and one line says so; then it attaches.
  struct Case {
    const char* what;
    std::vector<msg::PtyEntry> listed;
    std::string said;
  };
  const Case cases[] = {
      {"it runs", {msg::PtyEntry{msg::PtyId{"work"}, msg::Cursor{1, 2}, std::nullopt}},
       "quern-client: work already runs: the command after -- is ignored\n"},
      {"it has ended", {msg::PtyEntry{msg::PtyId{"work"}, msg::Cursor{1, 2}, msg::Exit{0, std::nullopt}}}, ""},
      {"another runs", {msg::PtyEntry{msg::PtyId{"other"}, msg::Cursor{1, 2}, std::nullopt}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDaemon d;
    Child child({"--socket", d.socket.string(), "attach", "--no-tty", "work", "--", "/bin/true"});
    Client conn = d.greet();
    auto list = must(conn.recv(kWait), "list");
    EXPECT_TRUE(list.message.is<msg::List>()) << list.message.debug();
    must(conn.send(msg::Listed{c.listed}), "listed");
    auto attach = take_attach(conn);
    ASSERT_TRUE(attach.is<msg::Attach>());
    EXPECT_EQ(attach.get<msg::Attach>()->argv, std::vector<std::string>{"/bin/true"});
    child.type("\x1c");
    take_detach(conn);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.err(), c.said + "[detached]\n");
  }
}

TEST(CliAttach, KeysTypedAheadWaitOnTheTerminalUntilTheSessionShowsItself) {
  // Typed before the session shows output, keys stay on the terminal: when
  // its program has ended at once they are left to the shell that started
  // the client, and otherwise they go to the session with its first output.
  struct Case {
    const char* what;
    bool output;
  };
  const Case cases[] = {{"the program ended at once", false}, {"the program shows output", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    ASSERT_EQ(::write(pty.master, "ls -l", 5), 5);  // before the client starts
    FakeDaemon d;
    Child child({"--socket", d.socket.string(), "attach", "work"}, "/nonexistent", pty.slave);
    Client conn = d.greet();
    must(conn.recv(kWait), "attach");
    must(conn.recv(kWait), "hello");
    auto early = conn.recv(300ms);
    ASSERT_FALSE(early) << "nothing is sent meanwhile: " << early->message.debug();
    EXPECT_EQ(early.error().kind, ClientError::Kind::Timeout);
    const msg::Exited exited{msg::PtyId{"work"}, 1, 2, 1, std::nullopt};
    if (c.output) {
      send_together(conn, {msg::Welcome{1}, msg::Output{msg::PtyId{"work"}, 1, 0}});
      auto write = must(conn.recv(kWait), "write");
      EXPECT_EQ(write.message, msg::Message(msg::Write{msg::PtyId{"work"}}));
      EXPECT_EQ(write.payload.view(), "ls -l");
      must(conn.send(exited), "exited");
    } else {
      send_together(conn, {msg::Welcome{1}, exited});
    }
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.err(), "[exited: code 1]\n");
    // What the shell would read next.
    pty.drain();
    ::fcntl(pty.slave, F_SETFL, ::fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
    char left[64];
    ssize_t n = ::read(pty.slave, left, sizeof left);
    EXPECT_EQ(std::string(left, static_cast<std::size_t>(std::max<ssize_t>(n, 0))), c.output ? "" : "ls -l");
  }
}

TEST(CliAttach, DetachPutsBackTheTerminalModesTheSessionTurnedOn) {
  // The modes that the session's output turned on, and only those, are
  // turned off before "[detached]" (sequences cut between frames count); the
  // alternate screen is left last, and a line the main screen left unfinished
  // is ended first, or the line goes below the rows the program drew.
  struct Case {
    const char* what;
    std::vector<std::string> output;
    std::string restored;
  };
  const Case cases[] = {
      {"a full-screen program",
       {"$ vi\r\n\x1b[?10", "49h\x1b[?1000;1006h\x1b[?1h\x1b=\x1b[?25l\x1b[1mtext"},
       "\x1b[m\x1b[?1l\x1b[?1000l\x1b[?1006l\x1b>\x1b[?1049l\x1b[?25h"},
      {"modes turned on and off again",
       {"\x1b[?1049h\x1b[?2004h\x1b[?2004l\x1b[?1049l\x1b[?25l\x1b[?25h\x1b[31mred\x1b[m\r\n"},
       ""},
      {"an unfinished line", {"$ "}, "\r\n"},
      {"a prompt left for the alternate screen", {"$ ", "\x1b[?1049hfull screen\r\n"}, "\x1b[?1049l\r\n"},
      {"bracketed paste and mouse modes", {"\x1b[?2004h\x1b[?1002h\x1b[?1004h"}, "\x1b[?1002l\x1b[?1004l\x1b[?2004l"},
      // A program that draws on the main screen (as top does) may leave the
      // cursor above its last rows: the line goes below the screen's last row.
      {"rows drawn below the cursor on the main screen",
       {"\x1b[H\x1b[2Jtop\r\n\r\n  PID\r\n    1 init\r\n", "\x1b[2;1H"},
       "\x1b[999H\r\n"},
      {"the cursor placed on the alternate screen only", {"$ ", "\x1b[?1049h\x1b[5;1Hfull screen"}, "\x1b[?1049l\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    FakeDaemon d;
    Child child({"--socket", d.socket.string(), "attach", "work"}, "/nonexistent", pty.slave);
    Client conn = d.greet();
    take_attach(conn);
    std::string shown;
    std::uint64_t at = 0;
    for (const auto& piece : c.output) {
      must(conn.send(msg::Output{msg::PtyId{"work"}, 1, at}, Bytes::copy_from(piece)), "output");
      at += piece.size();
      shown += piece;
    }
    ASSERT_TRUE(pty.read_until(shown, kWait)) << "the output is shown";
    ASSERT_EQ(::write(pty.master, "\x1c", 1), 1);
    take_detach(conn);
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(pty.drain(), c.restored);
    EXPECT_EQ(child.err(), "[detached]\n");
  }
}


TEST(CliAttach, OnATerminalItGoesRawSendsItsSizeAndRestoresTheModes) {
  Pty pty;
  pty.set_size(100, 30);
  const termios before = pty.modes();
  ASSERT_TRUE(before.c_lflag & ICANON);

  FakeDaemon d;
  Child child({"--socket", d.socket.string(), "attach", "work"}, "/nonexistent", pty.slave);
  Client conn = d.greet();
  auto attach = take_attach(conn);
  const auto* a = attach.get<msg::Attach>();
  ASSERT_TRUE(a) << attach.debug();
  EXPECT_EQ(a->cols, 100);
  EXPECT_EQ(a->rows, 30);

  const termios during = pty.modes();
  EXPECT_FALSE(during.c_lflag & (ICANON | ECHO | ISIG));

  pty.set_size(120, 40);
  ASSERT_EQ(::kill(child.pid(), SIGWINCH), 0);
  auto resize = must(conn.recv(kWait), "resize");
  EXPECT_EQ(resize.message, msg::Message(msg::Resize{msg::PtyId{"work"}, 120, 40, true}));

  must(conn.send(msg::Output{msg::PtyId{"work"}, 1, 0}, Bytes::copy_from("hi\n")), "output");
  must(conn.send(msg::Exited{msg::PtyId{"work"}, 1, 3, 0, std::nullopt}), "exited");
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(pty.drain(), "hi\n");  // raw: no carriage return added
  EXPECT_EQ(child.err(), "[exited: code 0]\n");

  const termios after = pty.modes();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
}

TEST(ClientTryRecv, GivesNothingUntilAFrameIsWholeAndNeverWaits) {
  auto [ours, peer] = quern_test_support::socket_pair();
  Client client(ours.release());
  auto f = quern_protocol::packet::Packet{msg::Welcome{1}, Bytes()}.encode_parts();
  std::string frame(f->to_bytes().view());
  auto put = [&](std::string_view s) { ASSERT_EQ(::write(peer.get(), s.data(), s.size()), static_cast<ssize_t>(s.size())); };

  auto none = client.try_recv();
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);

  put(frame.substr(0, 5));
  auto half = client.try_recv();
  ASSERT_TRUE(half);
  EXPECT_FALSE(*half);

  put(frame.substr(5) + frame);  // the rest, then a second frame in the same read
  for (int i = 0; i < 2; ++i) {
    auto got = client.try_recv();
    ASSERT_TRUE(got && *got);
    EXPECT_TRUE((*got)->message.is<msg::Welcome>());
  }
  peer.reset();
  auto closed = client.try_recv();
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().kind, ClientError::Kind::Closed);
}

}  // namespace
