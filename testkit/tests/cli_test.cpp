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
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quern_protocol/packet.hpp"
#include "quern_session/paths.hpp"
#include "quern_testkit/client.hpp"

namespace {

namespace fs = std::filesystem;
namespace msg = quern_protocol::message;
using quern_protocol::Bytes;
using quern_testkit::Client;
using quern_testkit::ClientError;
using namespace std::chrono_literals;

constexpr auto kWait = 5s;

void set_cloexec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

template <class T>
T must(std::expected<T, ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
  return std::move(*r);
}
void must(std::expected<void, ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
}

struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/quern-cli-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The daemon's side of the socket, played by the test. It listens where
// quern-client looks by default when QUERN_RUNTIME_DIR is `dir`.
class FakeDaemon {
 public:
  TempDir dir;
  fs::path socket = quern_session::paths::Runtime{dir.path}.daemon_socket();

  FakeDaemon() {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    set_cloexec(listener_);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket.c_str());
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 4) != 0) {
      throw std::runtime_error("cannot listen on " + socket.string());
    }
  }
  ~FakeDaemon() { ::close(listener_); }

  Client accept() {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kWait).count())) != 1) {
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

 private:
  int listener_ = -1;
};

// One run of quern-client. Its stdin is a pipe that the test writes, or a
// terminal that serves as its stdin and stdout; stdout and stderr otherwise
// go to files.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args, const fs::path& runtime_dir = "/nonexistent",
                 int tty = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int in[2] = {-1, -1};
    if (tty >= 0) {
      posix_spawn_file_actions_adddup2(&actions, tty, STDIN_FILENO);
      posix_spawn_file_actions_adddup2(&actions, tty, STDOUT_FILENO);
    } else {
      if (::pipe(in) != 0) throw std::runtime_error("pipe");
      set_cloexec(in[0]);
      set_cloexec(in[1]);
      input_ = in[1];
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir_.path / "out").c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir_.path / "err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> words = {QUERN_CLIENT_BIN_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_words = {"TERM=xterm-test", "QUERN_RUNTIME_DIR=" + runtime_dir.string()};
    std::vector<char*> envp;
    for (auto& w : env_words) envp.push_back(w.data());
    envp.push_back(nullptr);

    int rc = ::posix_spawn(&pid_, QUERN_CLIENT_BIN_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (in[0] >= 0) ::close(in[0]);
    if (rc != 0) throw std::runtime_error("posix_spawn: " + std::to_string(rc));
  }
  ~Child() {
    end_input();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void type(std::string_view bytes) {
    ASSERT_EQ(::write(input_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void end_input() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  // The exit status; -1 when it was killed or had to be, after kWait.
  int wait() {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "quern-client did not end";
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out() const { return slurp(dir_.path / "out"); }
  std::string err() const { return slurp(dir_.path / "err"); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int input_ = -1;
};

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
  struct Case {
    const char* what;
    std::function<void(FakeDaemon&)> daemon;  // nullptr: nothing listens
    std::string err;
  };
  std::vector<Case> cases = {
      {"nothing listens", nullptr, "quern-client: cannot connect to "},
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
    Child child({"--socket", d.socket.string(), "list"});
    if (c.daemon) c.daemon(d);
    EXPECT_EQ(child.wait(), 1);
    EXPECT_NE(child.err().find(c.err), std::string::npos) << child.err();
    EXPECT_EQ(child.out(), "");
  }
}

TEST(CliList, PrintsOneLinePerEntryFromTheDefaultSocket) {
  FakeDaemon d;
  Child child({"list"}, d.dir.path);  // no --socket: found through QUERN_RUNTIME_DIR
  Client c = d.greet();
  auto list = must(c.recv(kWait), "list");
  EXPECT_TRUE(list.message.is<msg::List>()) << list.message.debug();
  must(c.send(msg::Listed{{
           msg::PtyEntry{msg::PtyId{"a"}, msg::Cursor{1, 2}, std::nullopt},
           msg::PtyEntry{msg::PtyId{"b"}, msg::Cursor{3, 4}, msg::Exit{0, std::nullopt}},
       }}),
       "listed");
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.out(), "a\t1/2\trunning\nb\t3/4\texited: code 0\n");
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

TEST(CliClose, SilenceIsSuccessAndAnErrorOrAHangUpIsFailure) {
  struct Case {
    const char* what;
    std::optional<std::string> reply;
    bool hang_up;
    int status;
    std::string err;
  };
  std::vector<Case> cases = {
      {"no reply", std::nullopt, false, 0, ""},
      {"error reply", "no such pty", false, 1, "quern-client: gone: no such pty\n"},
      {"the daemon hangs up", std::nullopt, true, 1, "quern-client: close: peer closed the stream\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeDaemon d;
    Child child({"close", "--socket", d.socket.string(), "gone"});
    Client conn = d.greet();
    auto close = must(conn.recv(kWait), "close");
    EXPECT_EQ(close.message, msg::Message(msg::Close{msg::PtyId{"gone"}}));
    if (c.reply) must(conn.send(msg::Error{msg::PtyId{"gone"}, *c.reply}), "error");
    if (c.hang_up) conn = Client(-1);
    EXPECT_EQ(child.wait(), c.status);  // the connection stays open meanwhile
    EXPECT_EQ(child.err(), c.err);
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
    Child child({"--socket", d.socket.string(), "attach", "work", "--", "/bin/sh", "-c", "echo hi"});
    // The input and its end wait in the pipe until the client starts reading.
    child.type("ls\n");
    child.end_input();
    Client conn = d.greet();

    auto attach = must(conn.recv(kWait), "attach");
    msg::Attach expected{msg::PtyId{"work"}, 80, 24, std::nullopt, true, fs::current_path().string(),
                         {"/bin/sh", "-c", "echo hi"}, {{"TERM", "xterm-test"}}};
    EXPECT_EQ(attach.message, msg::Message(expected)) << attach.message.debug();

    auto write = must(conn.recv(kWait), "write");
    EXPECT_EQ(write.message, msg::Message(msg::Write{msg::PtyId{"work"}}));
    EXPECT_EQ(write.payload.view(), "ls\n");
    std::this_thread::sleep_for(50ms);  // lets the client meet the end of its input first

    must(conn.send(msg::Error{msg::PtyId{"work"}, "input queue full"}), "error");
    must(conn.send(msg::Output{msg::PtyId{"work"}, 1, 0}, Bytes::copy_from("file\r\n")), "output");
    must(conn.send(msg::Output{msg::PtyId{"work"}, 1, 6}, Bytes::copy_from(std::string("\0\xff", 2))), "output");
    must(conn.send(c.exited), "exited");
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.out(), std::string("file\r\n\0\xff", 8));
    EXPECT_EQ(child.err(), "quern-client: work: input queue full\n" + c.last_line);
  }
}

TEST(CliAttach, TheDetachKeySendsWhatCameBeforeItThenDetach) {
  FakeDaemon d;
  Child child({"--socket", d.socket.string(), "attach", "work"});
  Client conn = d.greet();
  auto attach = must(conn.recv(kWait), "attach");
  ASSERT_TRUE(attach.message.is<msg::Attach>());
  EXPECT_TRUE(attach.message.get<msg::Attach>()->argv.empty());

  child.type("ab\x1c" "cd");
  auto write = must(conn.recv(kWait), "write");
  EXPECT_EQ(write.message, msg::Message(msg::Write{msg::PtyId{"work"}}));
  EXPECT_EQ(write.payload.view(), "ab");
  auto detach = must(conn.recv(kWait), "detach");
  EXPECT_EQ(detach.message, msg::Message(msg::Detach{msg::PtyId{"work"}}));
  EXPECT_EQ(child.wait(), 0);
  // Nothing after the key is sent: the next thing is the end of the stream.
  auto after = conn.recv(kWait);
  ASSERT_FALSE(after) << after->message.debug();
  EXPECT_EQ(after.error().kind, ClientError::Kind::Closed);
  EXPECT_EQ(child.err(), "[detached]\n");
}

TEST(CliAttach, TheDaemonHangingUpExitsOne) {
  FakeDaemon d;
  Child child({"--socket", d.socket.string(), "attach", "work"});
  {
    Client conn = d.greet();
    must(conn.recv(kWait), "attach");
    must(conn.send(msg::Output{msg::PtyId{"work"}, 1, 0}, Bytes::copy_from("partial")), "output");
  }
  EXPECT_EQ(child.wait(), 1);
  EXPECT_EQ(child.out(), "partial");
  EXPECT_EQ(child.err(), "quern-client: the daemon closed the connection\n");
}

// A pseudo-terminal whose slave side the test keeps open.
struct Pty {
  int master = -1;
  int slave = -1;
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("posix_openpt");
    slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) throw std::runtime_error("open pty slave");
    set_cloexec(master);
    set_cloexec(slave);
  }
  ~Pty() {
    ::close(slave);
    ::close(master);
  }
  void set_size(unsigned short cols, unsigned short rows) const {
    winsize ws{};
    ws.ws_col = cols;
    ws.ws_row = rows;
    ::ioctl(slave, TIOCSWINSZ, &ws);
  }
  termios modes() const {
    termios t{};
    ::tcgetattr(slave, &t);
    return t;
  }
  std::string drain() const {
    std::string got;
    char buf[4096];
    pollfd p{master, POLLIN, 0};
    while (::poll(&p, 1, 200) == 1) {
      ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
};

TEST(CliAttach, OnATerminalItGoesRawSendsItsSizeAndRestoresTheModes) {
  Pty pty;
  pty.set_size(100, 30);
  const termios before = pty.modes();
  ASSERT_TRUE(before.c_lflag & ICANON);

  FakeDaemon d;
  Child child({"--socket", d.socket.string(), "attach", "work"}, "/nonexistent", pty.slave);
  Client conn = d.greet();
  auto attach = must(conn.recv(kWait), "attach");
  const auto* a = attach.message.get<msg::Attach>();
  ASSERT_TRUE(a) << attach.message.debug();
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
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  Client client(fds[0]);
  auto f = quern_protocol::packet::Packet{msg::Welcome{1}, Bytes()}.encode_parts();
  std::string frame(f->to_bytes().view());
  auto put = [&](std::string_view s) { ASSERT_EQ(::write(fds[1], s.data(), s.size()), static_cast<ssize_t>(s.size())); };

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
  ::close(fds[1]);
  auto closed = client.try_recv();
  ASSERT_FALSE(closed);
  EXPECT_EQ(closed.error().kind, ClientError::Kind::Closed);
}

}  // namespace
