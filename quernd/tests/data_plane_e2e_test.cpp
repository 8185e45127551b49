// The browser data plane of the daemon process, driven from outside with a
// WebSocket client that can forge anything: the endpoint file, the upgrade
// checks and their answers on the wire, serving over binary messages with
// the data-plane restrictions, keepalive and idle limit, admission limits,
// connections of another user, and a browser that stops reading.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include "e2e_support.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/child.hpp"
#include "quern_testkit/ws_client.hpp"

namespace {

using namespace quernd_e2e;
using namespace std::chrono_literals;
namespace msg = quern_protocol::message;
namespace opcode = quern_testkit::opcode;
using quern_protocol::Bytes;
using quern_testkit::HttpHead;
using quern_testkit::WsClient;
using quern_testkit::WsFrame;
using Clock = std::chrono::steady_clock;

constexpr const char* DEV_ORIGIN = "http://localhost:5173";

struct EndpointFile {
  std::string text;
  std::uint64_t launched_at = 0;
  std::uint16_t port = 0;
  std::string token;
};

template <class T>
T must_ws(std::expected<T, quern_testkit::ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
  return std::move(*r);
}
void must_ws(std::expected<void, quern_testkit::ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
}

// The resident set of a process in KiB, current or peak ("VmRSS", "VmHWM").
long memory_kib(pid_t pid, std::string_view field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(field)) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

class DataPlaneTest : public E2eTest {
 protected:
  EndpointFile endpoint() {
    EndpointFile e;
    e.text = read_file(runtime.data_endpoint());
    auto v = boost::json::parse(e.text).as_object();
    e.launched_at = v.at("launched_at").to_number<std::uint64_t>();
    e.port = v.at("port").to_number<std::uint16_t>();
    e.token = std::string(v.at("token").as_string());
    return e;
  }

  // A daemon with the development origin allowed, and its endpoint.
  EndpointFile start_plane(const std::vector<std::string>& args = {"--dev"},
                           const std::vector<std::string>& env = {}) {
    start(args, env);
    return endpoint();
  }

  WsClient tcp(const EndpointFile& e) { return must_ws(WsClient::connect(e.port), "connect"); }

  // An upgraded connection whose hello has been welcomed.
  WsClient welcomed(const EndpointFile& e) {
    WsClient c = tcp(e);
    must_ws(c.open(e.port, DEV_ORIGIN, e.token), "upgrade");
    must_ws(c.send(msg::Hello{{1}}), "hello");
    auto reply = must_ws(c.recv(), "welcome");
    if (reply.message != msg::Message(msg::Welcome{1})) throw std::runtime_error("no welcome: " + reply.message.debug());
    return c;
  }
};

// Whether the connection ends (close frame or end of stream) without any
// binary message before that end. A close frame is answered.
::testing::AssertionResult ends_without_answer(WsClient& c, std::chrono::milliseconds timeout = 5s) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto f = c.recv_frame(std::max(left, 1ms));
    if (!f) {
      if (f.error().kind == quern_testkit::ClientError::Kind::Closed) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << "no end: " << f.error().text;
    }
    if (f->opcode == opcode::BINARY || f->opcode == opcode::TEXT)
      return ::testing::AssertionFailure() << "an answer of " << f->payload.size() << " bytes";
    if (f->opcode == opcode::CLOSE) {
      // Answered as a browser would, which completes the close at once.
      (void)c.send_frame(opcode::CLOSE, "");
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "still open";
}

// Whether the process holds the other end of the client's TCP connection:
// the socket whose peer is the client's own address, found in
// /proc/net/tcp, among its descriptors.
bool holds_other_end(pid_t pid, const WsClient& c) {
  sockaddr_in mine{};
  sockaddr_in theirs{};
  socklen_t len = sizeof mine;
  if (::getsockname(c.fd(), reinterpret_cast<sockaddr*>(&mine), &len) != 0) return false;
  len = sizeof theirs;
  if (::getpeername(c.fd(), reinterpret_cast<sockaddr*>(&theirs), &len) != 0) return false;
  char peer[16];
  char self[16];
  std::snprintf(peer, sizeof peer, ":%04X", ntohs(mine.sin_port));
  std::snprintf(self, sizeof self, ":%04X", ntohs(theirs.sin_port));
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);
  std::string inode;
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retrans, uid, timeout, node;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retrans >> uid >> timeout >> node;
    if (local.ends_with(self) && remote.ends_with(peer) && node != "0") inode = node;
  }
  if (inode.empty() || inode == "0") return false;
  const std::string target = "socket:[" + inode + "]";
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::error_code ignored;
    if (fs::read_symlink(it->path(), ignored).native() == target) return true;
  }
  return false;
}

// Whether the daemon lets go of the connection within `timeout`, though
// this side still holds it open.
::testing::AssertionResult lets_go(pid_t daemon, const WsClient& c, std::chrono::milliseconds timeout = 3s) {
  if (eventually([&] { return !holds_other_end(daemon, c); }, timeout)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the daemon still holds the connection";
}

TEST_F(DataPlaneTest, TheEndpointFileTellsThePortAndTokenAndGoesAtShutdown) {
  // The endpoint file is compact JSON with its keys in order and no newline,
  // mode 0600, a 64-digit token and this run's start; a second run draws
  // another token and replaces the file; SIGTERM removes it.
  const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  auto& d = launch({"--dev"});
  connect(d);
  EndpointFile first = endpoint();
  EXPECT_EQ(first.text, R"({"launched_at":)" + std::to_string(first.launched_at) + R"(,"port":)" +
                            std::to_string(first.port) + R"(,"token":")" + first.token + R"("})");
  EXPECT_GE(first.launched_at, static_cast<std::uint64_t>(before));
  EXPECT_NE(first.port, 0);
  ASSERT_EQ(first.token.size(), 64u);
  EXPECT_TRUE(std::ranges::all_of(first.token, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }));
  struct stat st{};
  ASSERT_EQ(::stat(runtime.data_endpoint().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  d.signal(SIGTERM);
  ASSERT_EQ(d.wait_exit(10s), 0);
  EXPECT_FALSE(fs::exists(runtime.data_endpoint()));

  // A daemon killed outright leaves its file behind; the next start replaces it.
  auto& killed = launch({"--dev"});
  connect(killed);
  EndpointFile second = endpoint();
  EXPECT_NE(second.token, first.token);
  killed.signal(SIGKILL);
  killed.wait_exit(10s);
  EXPECT_EQ(endpoint().token, second.token);
  start({"--dev"});
  EXPECT_NE(endpoint().token, second.token);
  for (const auto& entry : fs::directory_iterator(runtime.root)) {
    EXPECT_FALSE(entry.path().filename().native().starts_with("quernd-data.tmp-")) << entry.path();
  }
}

TEST_F(DataPlaneTest, WithoutTheDataPlaneAnOldEndpointFileIsLeftAlone) {
  // --no-data-plane binds nothing and neither writes nor removes the file.
  fs::create_directories(runtime.root);
  ::chmod(runtime.root.c_str(), 0700);
  write_file(runtime.data_endpoint(), "left by an earlier run");
  auto& d = start({"--no-data-plane"});
  EXPECT_EQ(read_file(runtime.data_endpoint()), "left by an earlier run");
  d.signal(SIGTERM);
  ASSERT_EQ(d.wait_exit(10s), 0);
  EXPECT_EQ(read_file(runtime.data_endpoint()), "left by an earlier run");
}

TEST_F(DataPlaneTest, AnEndpointFileThatCannotBeWrittenStopsStartUp) {
  // A directory in the endpoint file's place: start-up ends with the context
  // "endpoint file" and the rename's error, and the pid lock is released.
  fs::create_directories(runtime.data_endpoint() / "x");
  ::chmod(runtime.root.c_str(), 0700);
  auto& d = launch({"--dev"});
  ASSERT_EQ(d.wait_exit(10s), 1);
  EXPECT_EQ(d.stderr_text(), "Error: endpoint file\n\nCaused by:\n    Is a directory (os error 21)\n");
  EXPECT_TRUE(fs::is_directory(runtime.data_endpoint()));
  // The pid lock was released with the process: the next daemon starts.
  fs::remove_all(runtime.data_endpoint());
  start({"--dev"});
  EXPECT_EQ(endpoint().token.size(), 64u);
}

struct Refusal {
  const char* what;
  std::string target;
  std::vector<std::string> drop;   // fields left out, by name
  std::vector<std::string> extra;  // fields added
  std::string answer;
};

TEST_F(DataPlaneTest, RefusedUpgradesGetTheirBareAnswerOnTheWire) {
  // Each refusal is exactly a status line, an empty line and its text, then
  // the end of the connection; the first failing test decides.
  auto e = start_plane();
  const std::string port = std::to_string(e.port);
  const std::string forbidden = "HTTP/1.1 403 Forbidden\r\n\r\norigin not allowed";
  const std::string bad_host = "HTTP/1.1 400 Bad Request\r\n\r\nhost not allowed";
  const Refusal cases[] = {
      {"no origin", "/", {"Origin"}, {}, forbidden},
      {"another origin, no token", "/", {"Origin", "Sec-WebSocket-Protocol"}, {"Origin: http://evil.example"}, forbidden},
      {"origin with a trailing slash", "/", {"Origin"}, {"Origin: http://localhost:5173/"}, forbidden},
      {"origin in upper case", "/", {"Origin"}, {"Origin: HTTP://LOCALHOST:5173"}, forbidden},
      {"non-ASCII origin", "/", {"Origin"}, {"Origin: http://localh\xc3\xb6st:5173"}, forbidden},
      {"origin with a trailing space", "/", {"Origin"}, {"Origin: http://localhost:5173 "}, forbidden},
      {"origin with a trailing tab", "/", {"Origin"}, {"Origin: http://localhost:5173\t"}, forbidden},
      {"host without port", "/", {"Host"}, {"Host: 127.0.0.1"}, bad_host},
      {"host with another port", "/", {"Host"}, {"Host: 127.0.0.1:1"}, bad_host},
      {"IPv6 loopback host", "/", {"Host"}, {"Host: [::1]:" + port}, bad_host},
      {"host by name in upper case", "/", {"Host"}, {"Host: LOCALHOST:" + port}, bad_host},
      {"host with a trailing space", "/", {"Host"}, {"Host: 127.0.0.1:" + port + " "}, bad_host},
      {"host with a trailing tab", "/", {"Host"}, {"Host: localhost:" + port + "\t"}, bad_host},
      {"path below /", "/x", {}, {}, "HTTP/1.1 404 Not Found\r\n\r\nno such path"},
      {"token in the query", "/?token=" + e.token, {}, {}, "HTTP/1.1 400 Bad Request\r\n\r\ntoken in query string"},
      {"empty query", "/?", {}, {}, "HTTP/1.1 400 Bad Request\r\n\r\ntoken in query string"},
      {"no token", "/", {"Sec-WebSocket-Protocol"}, {}, "HTTP/1.1 401 Unauthorized\r\n\r\nmissing token"},
      {"token and a second protocol", "/", {"Sec-WebSocket-Protocol"},
       {"Sec-WebSocket-Protocol: " + e.token + ", chat"}, "HTTP/1.1 401 Unauthorized\r\n\r\nbad token"},
      {"token in upper case", "/", {"Sec-WebSocket-Protocol"},
       {"Sec-WebSocket-Protocol: " + [&] { std::string t = e.token; for (char& c : t) c = static_cast<char>(std::toupper(c)); return t; }()},
       "HTTP/1.1 401 Unauthorized\r\n\r\nbad token"},
      {"token with a trailing space", "/", {"Sec-WebSocket-Protocol"}, {"Sec-WebSocket-Protocol: " + e.token + " "},
       "HTTP/1.1 401 Unauthorized\r\n\r\nbad token"},
      {"token with a trailing tab", "/", {"Sec-WebSocket-Protocol"}, {"Sec-WebSocket-Protocol: " + e.token + "\t"},
       "HTTP/1.1 401 Unauthorized\r\n\r\nbad token"},
  };
  for (const auto& r : cases) {
    SCOPED_TRACE(r.what);
    std::vector<std::string> fields;
    for (const auto& f : WsClient::browser_fields(e.port, DEV_ORIGIN, e.token)) {
      const std::string name = f.substr(0, f.find(':'));
      if (std::ranges::find(r.drop, name) == r.drop.end()) fields.push_back(f);
    }
    fields.insert(fields.end(), r.extra.begin(), r.extra.end());
    WsClient c = tcp(e);
    must_ws(c.send_raw(WsClient::request(r.target, fields)), "request");
    auto answer = c.read_to_end();
    EXPECT_EQ(answer ? *answer : "no end: " + answer.error().text, r.answer);
  }
}

TEST_F(DataPlaneTest, WithoutAllowedOriginsEveryBrowserIsRefused) {
  // With neither --dev nor --origin the data plane runs and refuses all.
  auto e = start_plane({});
  WsClient c = tcp(e);
  must_ws(c.send_raw(WsClient::request("/", WsClient::browser_fields(e.port, DEV_ORIGIN, e.token))), "request");
  EXPECT_EQ(must_ws(c.read_to_end(), "answer"), "HTTP/1.1 403 Forbidden\r\n\r\norigin not allowed");
}

TEST_F(DataPlaneTest, RequestsThatAreNoOpeningRequestGetNoAnswer) {
  // Not a WebSocket opening request at all, or bytes after the request: the
  // connection is closed without a byte written.
  auto e = start_plane({"--origin", "http://a.example", "--dev"});
  auto fields = WsClient::browser_fields(e.port, DEV_ORIGIN, e.token);
  auto without = [&](std::string_view name, std::vector<std::string> extra = {}) {
    std::vector<std::string> out;
    for (const auto& f : fields)
      if (!f.starts_with(name)) out.push_back(f);
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  };
  const std::pair<const char*, std::string> cases[] = {
      {"POST", "POST / HTTP/1.1\r\n" + WsClient::request("/", fields).substr(16)},
      {"HTTP/1.0", "GET / HTTP/1.0\r\n" + WsClient::request("/", fields).substr(16)},
      {"no upgrade", WsClient::request("/", without("Upgrade:"))},
      {"no key", WsClient::request("/", without("Sec-WebSocket-Key"))},
      {"version 8", WsClient::request("/", without("Sec-WebSocket-Version", {"Sec-WebSocket-Version: 8"}))},
      {"a body", WsClient::request("/", without("Host", {"Host: 127.0.0.1:" + std::to_string(e.port), "Content-Length: 2"})) + "{}"},
      {"bytes after the request", WsClient::request("/", fields) + "x"},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    WsClient c = tcp(e);
    must_ws(c.send_raw(bytes), "request");
    EXPECT_EQ(must_ws(c.read_to_end(), "answer"), "");
  }
  // A valid request still passes with two allowed origins.
  WsClient ok = tcp(e);
  EXPECT_EQ(must_ws(ok.handshake(WsClient::request("/", fields)), "upgrade").status, 101);
}

TEST_F(DataPlaneTest, TheUpgradeEchoesTheTokenAndThePingComesFirst) {
  // 101 with the token as the selected subprotocol (the first of two
  // headers only) and no field besides the upgrade's own; then an empty
  // ping; then hello is welcomed.
  auto e = start_plane();
  auto fields = WsClient::browser_fields(e.port, DEV_ORIGIN, e.token);
  fields.push_back("Sec-WebSocket-Protocol: second");
  WsClient c = tcp(e);
  HttpHead head = must_ws(c.handshake(WsClient::request("/", fields)), "upgrade");
  ASSERT_EQ(head.status, 101) << head.text;
  EXPECT_EQ(head.field("Sec-WebSocket-Protocol"), e.token);
  EXPECT_EQ(head.text.find("second"), std::string::npos);
  EXPECT_EQ(head.field("Sec-WebSocket-Accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  std::vector<std::string> names;
  for (std::size_t at = head.text.find("\r\n") + 2; head.text.compare(at, 2, "\r\n") != 0;) {
    const auto end = head.text.find("\r\n", at);
    names.push_back(head.text.substr(at, head.text.find(':', at) - at));
    at = end + 2;
  }
  std::ranges::sort(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Connection", "Sec-WebSocket-Accept", "Sec-WebSocket-Protocol", "Upgrade"}))
      << head.text;
  EXPECT_NE(head.text.find("\r\nSec-WebSocket-Protocol: " + e.token + "\r\n"), std::string::npos) << "echoed as sent";

  WsFrame first = must_ws(c.recv_frame(), "first frame");
  EXPECT_EQ(first.opcode, opcode::PING);
  EXPECT_EQ(first.payload, "");
  must_ws(c.send(msg::Hello{{2, 1}}), "hello");
  EXPECT_EQ(must_ws(c.recv(), "welcome").message, msg::Message(msg::Welcome{1}));
}

TEST_F(DataPlaneTest, TheDataPlaneRefusesCloseListPauseResumeAndNeverStartsAShim) {
  // The four kinds are answered "not on the data plane" with their ids and
  // the connection goes on; an attach of a session without a shim fails
  // with the open error instead of starting one.
  auto e = start_plane();
  WsClient c = welcomed(e);
  const msg::PtyId s{"s"};
  const std::pair<msg::Message, msg::Message> cases[] = {
      {msg::List{}, msg::Error{std::nullopt, "not on the data plane"}},
      {msg::Close{s}, msg::Error{s, "not on the data plane"}},
      {msg::Pause{s}, msg::Error{s, "not on the data plane"}},
      {msg::Resume{s}, msg::Error{s, "not on the data plane"}},
      {msg::Attach{msg::PtyId{"fresh"}, 80, 24, std::nullopt, true, std::nullopt, {"/bin/sh"}, {}},
       msg::Error{msg::PtyId{"fresh"}, "no such pty"}},
      {msg::Write{s}, msg::Error{s, "not attached"}},
  };
  for (const auto& [request, answer] : cases) {
    SCOPED_TRACE(request.debug());
    must_ws(c.send(request), "request");
    EXPECT_EQ(must_ws(c.recv(), "answer").message, answer);
  }
  EXPECT_FALSE(fs::exists(runtime.session_manifest(msg::PtyId{"fresh"})));
  EXPECT_FALSE(fs::exists(runtime.session_socket(msg::PtyId{"fresh"})));
}

TEST_F(DataPlaneTest, ABrowserUsesASessionALocalClientStarted) {
  // Input typed in the browser reaches the shell, and its output reaches
  // the browser and the local client alike, each as one unbroken run.
  auto& d = start({"--dev"});
  auto e = endpoint();
  Client local = connect(d);
  OutputLog local_log = attach(local, "shared");

  WsClient browser = welcomed(e);
  must_ws(browser.send(msg::Attach{msg::PtyId{"shared"}, 100, 30, std::nullopt, false, std::nullopt, {}, {}}),
          "attach");
  must_ws(browser.send(msg::Write{msg::PtyId{"shared"}}, Bytes::copy_from("echo from-browser-$((6*7))\n")),
          "write");
  OutputLog browser_log{msg::PtyId{"shared"}};
  auto deadline = Clock::now() + 10s;
  while (browser_log.text.find("from-browser-42\r\n") == std::string::npos) {
    ASSERT_LT(Clock::now(), deadline) << browser_log.text;
    auto p = must_ws(browser.recv(), "output");
    const auto* out = p.message.get<msg::Output>();
    ASSERT_NE(out, nullptr) << p.message.debug();
    browser_log.add(*out, p.payload);
  }
  read_until(local, local_log, "from-browser-42\r\n");
  // What the browser saw is what the local client saw from the same point.
  const auto from = local_log.text.find("echo from-browser");
  ASSERT_NE(from, std::string::npos);
  EXPECT_NE(browser_log.text.find(local_log.text.substr(from)), std::string::npos) << browser_log.text;
}

struct BadMessage {
  const char* what;
  std::uint8_t op;
  std::string payload;
  bool masked = true;
};

TEST_F(DataPlaneTest, AMessageThatIsNotExactlyOneFrameEndsTheConnection) {
  // Two frames in one message, an empty message, a stray byte after a
  // frame, a text message (even one holding a hello), an unmasked frame:
  // each ends the connection and is never answered.
  auto e = start_plane();
  const std::string list = frame_of(msg::List{});
  const BadMessage cases[] = {
      {"two frames", opcode::BINARY, list + list},
      {"empty", opcode::BINARY, ""},
      {"a stray byte", opcode::BINARY, list + "x"},
      {"half a frame", opcode::BINARY, list.substr(0, list.size() - 1)},
      {"a text message", opcode::TEXT, R"({"type":"hello","versions":[1]})"},
      {"a text message holding a frame", opcode::TEXT, list},
      {"unmasked", opcode::BINARY, list, false},
  };
  const pid_t daemon = daemons.back()->pid();
  for (const auto& b : cases) {
    SCOPED_TRACE(b.what);
    WsClient c = welcomed(e);
    ASSERT_TRUE(holds_other_end(daemon, c));
    must_ws(c.send_frame(b.op, b.payload, b.masked), "send");
    EXPECT_TRUE(ends_without_answer(c));
    // This side keeps its end open; the daemon does not wait for it.
    EXPECT_TRUE(lets_go(daemon, c));
  }
}

TEST_F(DataPlaneTest, TheLargestFrameIsTakenAndAnythingLargerEndsTheConnection) {
  // A message of 8,388,612 bytes holding one frame with totalLen 8,388,608
  // is served; a message of 8,388,617 bytes ends the connection.
  auto e = start_plane();
  WsClient c = welcomed(e);
  const std::string json = R"({"id":"absent","type":"write"})";
  const std::size_t payload = 8'388'608 - 4 - json.size();
  const std::string frame = raw_frame(8'388'608, static_cast<std::uint32_t>(json.size()), json) + std::string(payload, 'p');
  ASSERT_EQ(frame.size(), 8'388'612u);
  must_ws(c.send_frame(opcode::BINARY, frame, true, true, 20s), "largest");
  EXPECT_EQ(must_ws(c.recv(10s), "answer").message, msg::Message(msg::Error{msg::PtyId{"absent"}, "not attached"}));

  (void)c.send_frame(opcode::BINARY, std::string(8'388'617, 'x'), true, true, 20s);
  EXPECT_TRUE(ends_without_answer(c, 10s));
}

TEST_F(DataPlaneTest, ACloseFromTheClientIsCompletedAndAPingIsAnswered) {
  // The daemon answers a ping with its pong, and a close with its own,
  // then ends the connection without waiting for the client's side.
  auto e = start_plane();
  const pid_t daemon = daemons.back()->pid();
  WsClient c = welcomed(e);
  ASSERT_TRUE(holds_other_end(daemon, c));
  must_ws(c.send_frame(opcode::PING, "are you there"), "ping");
  WsFrame pong = must_ws(c.recv_frame(), "pong");
  while (pong.opcode == opcode::PING) pong = must_ws(c.recv_frame(), "pong");
  EXPECT_EQ(pong.opcode, opcode::PONG);
  EXPECT_EQ(pong.payload, "are you there");

  const auto sent = Clock::now();
  must_ws(c.send_frame(opcode::CLOSE, std::string("\x03\xe8", 2)), "close");
  WsFrame reply = must_ws(c.recv_frame(3s), "close reply");
  while (reply.opcode == opcode::PING) reply = must_ws(c.recv_frame(3s), "close reply");
  EXPECT_EQ(reply.opcode, opcode::CLOSE);
  EXPECT_EQ(must_ws(c.read_to_end(3s), "end"), "");
  EXPECT_LT(Clock::now() - sent, 2500ms);
  // Though this side never closes its own, the daemon lets go at once.
  EXPECT_TRUE(lets_go(daemon, c, 1s));
}

// The daemon's keepalive with its idle limit and ping period a fifth of the
// product's, as the tests of them give it.
constexpr auto IDLE = 3000ms;
const std::vector<std::string> SHORT_KEEPALIVE = {"--dev", "--test-only-timing", "ws.idle=3000",
                                                  "--test-only-timing", "ws.ping_period=1000"};

TEST_F(DataPlaneTest, ASilentClientIsDroppedAfterTheIdleLimit) {
  // Pings come every period; a client that answers none of them and sends
  // nothing else loses its connection the idle limit after its hello.
  auto e = start_plane(SHORT_KEEPALIVE);
  WsClient c = welcomed(e);
  const auto welcomed_at = Clock::now();
  int pings = 0;
  for (;;) {
    auto f = c.recv_frame(IDLE + 5s);
    if (!f || f->opcode == opcode::CLOSE) break;
    EXPECT_EQ(f->opcode, opcode::PING);
    ++pings;
  }
  const auto after = Clock::now() - welcomed_at;
  EXPECT_GE(after, IDLE - 100ms);
  EXPECT_LT(after, IDLE + 2s);
  EXPECT_GE(pings, 2);
  EXPECT_LE(pings, 4);
}

TEST_F(DataPlaneTest, AClientThatAnswersPingsStaysConnected) {
  // The pongs of a browser that sends no message restart the idle limit.
  auto e = start_plane(SHORT_KEEPALIVE);
  WsClient c = welcomed(e);
  auto until = Clock::now() + IDLE + 2s;
  while (Clock::now() < until) {
    auto p = c.recv(std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()) + 1ms);
    ASSERT_FALSE(p) << "an unexpected message " << p->message.debug();
    ASSERT_EQ(p.error().kind, quern_testkit::ClientError::Kind::Timeout) << p.error().text;
  }
  EXPECT_GE(c.pings_answered, 3);
  must_ws(c.send(msg::List{}), "list");
  EXPECT_EQ(must_ws(c.recv(), "still served").message, msg::Message(msg::Error{std::nullopt, "not on the data plane"}));
}

// Another user on this machine: nobody's ids, which the tests take from root.
constexpr uid_t NOBODY = 65534;

// Reads what a child wrote into `from` until it closes its end, waiting at
// most `timeout` for each piece.
std::string read_child(int from, std::chrono::milliseconds timeout = 30s) {
  std::string text;
  for (;;) {
    pollfd p{from, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return text;
    char buf[256];
    const ssize_t n = ::read(from, buf, sizeof buf);
    if (n <= 0) return text;
    text.append(buf, static_cast<std::size_t>(n));
  }
}

// Waits until a child has written a first byte into `from`.
bool child_ready(int from) {
  pollfd p{from, POLLIN, 0};
  char c;
  return ::poll(&p, 1, 30'000) == 1 && ::read(from, &c, 1) == 1;
}

// Whether the browser's opening request gets 101 and its hello a welcome.
::testing::AssertionResult served(WsClient& c, const std::string& request) {
  auto head = c.handshake(request);
  if (!head) return ::testing::AssertionFailure() << "no answer: " << head.error().text;
  if (head->status != 101) return ::testing::AssertionFailure() << head->text;
  if (auto sent = c.send(msg::Hello{{1}}); !sent) return ::testing::AssertionFailure() << sent.error().text;
  auto reply = c.recv();
  if (!reply) return ::testing::AssertionFailure() << "no welcome: " << reply.error().text;
  if (reply->message != msg::Message(msg::Welcome{1})) return ::testing::AssertionFailure() << reply->message.debug();
  return ::testing::AssertionSuccess();
}

TEST_F(DataPlaneTest, AnotherUsersConnectionsAreClosedUnansweredAndTakeNoPermit) {
  // Another user's connection gets no answer even with this run's token,
  // and 64 of them in the middle of their requests hold no upgrade permit:
  // the owner's browser is admitted and served. Nothing is printed.
  if (::geteuid() != 0) GTEST_SKIP() << "another user's client needs root";
  auto& d = start({"--dev"});
  auto e = endpoint();
  const std::string request = WsClient::request("/", WsClient::browser_fields(e.port, DEV_ORIGIN, e.token));
  auto report = quern_session::child::make_pipe();
  ASSERT_TRUE(report);
  const int out = report->write.get();
  auto child = quern_test_support::as_user(NOBODY, NOBODY, [&]() -> int {
    auto whole = WsClient::connect(e.port);
    if (!whole) return 2;
    (void)whole->send_raw(request);
    std::vector<WsClient> partial;
    for (int i = 0; i < 64; ++i) {
      auto c = WsClient::connect(e.port);
      if (!c) return 2;
      (void)c->send_raw(request.substr(0, request.size() - 2));
      partial.push_back(std::move(*c));
    }
    if (::write(out, "r", 1) != 1) return 3;
    int answered = 0;
    auto got = whole->read_to_end(10s);
    if (!got || !got->empty()) ++answered;
    for (auto& c : partial) {
      auto rest = c.read_to_end(10s);
      if (!rest || !rest->empty()) ++answered;
    }
    const std::string counts = std::to_string(answered) + " answered";
    return ::write(out, counts.data(), counts.size()) == static_cast<ssize_t>(counts.size()) ? 0 : 3;
  });
  report->write.reset();
  ASSERT_TRUE(child_ready(report->read.get()));

  WsClient browser = tcp(e);
  EXPECT_TRUE(served(browser, request));

  EXPECT_EQ(read_child(report->read.get()), "0 answered");
  EXPECT_EQ(child.wait_exit(30s), 0);
  EXPECT_EQ(d.stderr_text(), "");
}

// For a child as another user: `count` connections that each dribble
// `request` one byte per tick and reconnect whenever they are closed, until
// `stop` ends; writes a first byte to `out` once all are open, and at the
// end "{connects} connects, {answered} answered".
int dribble(std::uint16_t port, std::string_view request, int count, int out, int stop) {
  struct Dribbler {
    int fd = -1;
    std::size_t sent = 0;
  };
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  long connects = 0;
  auto open = [&](Dribbler& d) {
    d.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    d.sent = 0;
    ++connects;
    if (d.fd < 0 || ::connect(d.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return false;
    return ::fcntl(d.fd, F_SETFL, O_NONBLOCK) == 0;
  };
  std::vector<Dribbler> all(static_cast<std::size_t>(count));
  for (auto& d : all)
    if (!open(d)) return 2;
  if (::write(out, "r", 1) != 1) return 3;
  int answered = 0;
  // Bounded, should the test never end it.
  for (int tick = 0; tick < 1200; ++tick) {
    pollfd p{stop, POLLIN, 0};
    if (::poll(&p, 1, 50) != 0) break;
    for (auto& d : all) {
      char buf[512];
      const ssize_t n = ::recv(d.fd, buf, sizeof buf, 0);
      if (n > 0) ++answered;
      bool open_still = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      // The request is never finished, as a slow client's would not be.
      if (open_still && d.sent + 1 < request.size()) {
        open_still = ::send(d.fd, request.data() + d.sent, 1, MSG_NOSIGNAL) == 1;
        if (open_still) ++d.sent;
      }
      if (open_still) continue;
      ::close(d.fd);
      if (!open(d)) return 2;
    }
  }
  const std::string counts = std::to_string(connects) + " connects, " + std::to_string(answered) + " answered";
  return ::write(out, counts.data(), counts.size()) == static_cast<ssize_t>(counts.size()) ? 0 : 3;
}

TEST_F(DataPlaneTest, AnotherUsersDribblingConnectionsLeaveTheOwnerAdmittedAtOnce) {
  // 200 connections of another user dribble an opening request with this
  // run's token one byte at a time and reconnect whenever they are closed;
  // meanwhile the owner's browser is admitted at each of its tries.
  if (::geteuid() != 0) GTEST_SKIP() << "another user's client needs root";
  auto& d = start({"--dev"});
  auto e = endpoint();
  const std::string request = WsClient::request("/", WsClient::browser_fields(e.port, DEV_ORIGIN, e.token));
  auto report = quern_session::child::make_pipe();
  auto stop = quern_session::child::make_pipe();
  ASSERT_TRUE(report && stop);
  const int out = report->write.get();
  const int stopped = stop->read.get();
  const int stop_other = stop->write.get();
  auto child = quern_test_support::as_user(NOBODY, NOBODY, [&]() -> int {
    ::close(stop_other);
    return dribble(e.port, request, 200, out, stopped);
  });
  report->write.reset();
  stop->read.reset();
  ASSERT_TRUE(child_ready(report->read.get()));

  for (int attempt = 0; attempt < 5; ++attempt) {
    SCOPED_TRACE(attempt);
    WsClient browser = tcp(e);
    EXPECT_TRUE(served(browser, request));
    std::this_thread::sleep_for(200ms);
  }

  stop->write.reset();
  const std::string counts = read_child(report->read.get());
  EXPECT_TRUE(counts.ends_with(" connects, 0 answered")) << counts;
  EXPECT_GT(std::stol(counts), 200) << "the closed ones came back";
  EXPECT_EQ(child.wait_exit(30s), 0);
  EXPECT_EQ(d.stderr_text(), "");
}

TEST_F(DataPlaneTest, SixtyFourUpgradesAtOnceAndEachWithinThreeSeconds) {
  // While 64 upgrades are in progress the next connection is closed at once
  // without an answer; when one of them ends, the next is admitted; a
  // connection that sends nothing is closed after 3 seconds.
  auto e = start_plane();
  std::vector<WsClient> silent;
  const auto opened = Clock::now();
  for (int i = 0; i < 64; ++i) silent.push_back(tcp(e));
  std::this_thread::sleep_for(300ms);
  WsClient refused = tcp(e);
  const auto asked = Clock::now();
  EXPECT_EQ(must_ws(refused.read_to_end(2s), "65th"), "");
  EXPECT_LT(Clock::now() - asked, 1s);

  silent.erase(silent.begin());
  bool admitted = eventually(
      [&] {
        WsClient next = tcp(e);
        auto head = next.handshake(WsClient::request("/", WsClient::browser_fields(e.port, DEV_ORIGIN, e.token)), 1s);
        return head && head->status == 101;
      },
      2s);
  EXPECT_TRUE(admitted);

  EXPECT_EQ(must_ws(silent.back().read_to_end(5s), "silent"), "");
  const auto closed_after = Clock::now() - opened;
  EXPECT_GE(closed_after, 2900ms);
  EXPECT_LT(closed_after, 4500ms);
}

// Sends an unsolicited pong every half second while it lives, on a thread of
// its own: the client reads nothing, yet it is never silent, so the idle
// limit cannot end its connection however long the test takes. Only frames
// may be read from the client meanwhile, nothing sent.
class Heartbeat {
 public:
  explicit Heartbeat(WsClient& c)
      : thread_([&c](std::stop_token stop) {
          std::mutex m;
          std::condition_variable_any cv;
          std::unique_lock lock(m);
          while (!stop.stop_requested()) {
            (void)c.send_frame(opcode::PONG, "");
            cv.wait_for(lock, stop, 500ms, [] { return false; });
          }
        }) {}

 private:
  std::jthread thread_;
};

// The protocol message in a binary WebSocket message; none if it holds no
// whole frame and nothing more.
std::optional<msg::Message> message_in(const std::string& payload) {
  Bytes bytes = Bytes::copy_from(payload);
  auto decoded = quern_protocol::frame::decode_frame_bytes(bytes);
  if (!decoded || !*decoded || !bytes.empty()) return std::nullopt;
  auto m = msg::Message::deserialize((*decoded)->json.span());
  if (!m) return std::nullopt;
  return std::move(*m);
}

TEST_F(DataPlaneTest, ABrowserThatStopsReadingLosesOnlyItsOwnConnection) {
  // A browser that stops reading while its session floods it gets the close
  // 1013 "send buffer over 8 MiB" and costs the daemon no more than a few
  // frames; a local client on the same session gets its whole stream.
  const std::string shim = std::string("QUERN_SESSION_BIN=") + QUERN_BENCH_SHIM;
  auto& d = start({"--dev"}, {shim, "ASAN_OPTIONS=quarantine_size_mb=0"});
  auto e = endpoint();
  const long baseline = memory_kib(d.pid(), "VmRSS:");
  constexpr std::size_t FRAME = 5'000'000;
  // Enough for the browser to overflow many times over.
  constexpr std::size_t FRAMES = 8;
  auto flood = [&](std::vector<std::string> more) {
    std::vector<std::string> argv{"stream", std::to_string(FRAME), std::to_string(FRAMES)};
    argv.insert(argv.end(), more.begin(), more.end());
    return msg::Attach{msg::PtyId{"flood"}, 80, 24, std::nullopt, true, std::nullopt, argv, {}};
  };

  Client local = connect(d);
  must(local.send(flood({})), "local attach");
  // The benchmark's shim numbers its frames.
  auto local_frame = [&](std::size_t i, std::chrono::milliseconds timeout) {
    auto p = must(local.recv(timeout), "local output");
    const auto* out = p.message.get<msg::Output>();
    ASSERT_NE(out, nullptr) << p.message.debug();
    ASSERT_EQ(out->sequence, i);
    ASSERT_EQ(p.payload.size(), FRAME);
  };
  // The first frame waits for the session to start, which takes seconds on
  // a machine busy with other tests; then the browser's attach finds it.
  local_frame(0, 60s);
  if (HasFatalFailure()) return;
  WsClient browser = welcomed(e);
  // The browser's stream of the same session says when the daemon pauses it.
  must_ws(browser.send(flood({"report-pauses"})), "browser attach");
  Heartbeat alive(browser);

  for (std::size_t i = 1; i < FRAMES; ++i) {
    local_frame(i, 20s);
    if (HasFatalFailure()) return;
  }
  // The daemon pauses a stream when the frame that came last finds more than
  // 1 MiB waiting for the client; on the browser's lossy queue that frame
  // overflows it, since a frame of this size waits already. The pause comes
  // right after the overflow.
  ASSERT_TRUE(eventually([&] { return d.stderr_text().find("quern-bench-shim: flood paused") != std::string::npos; },
                         60s))
      << d.stderr_text();

  // The browser reads now: a few whole frames at most, then the close.
  std::size_t frames = 0;
  std::optional<quern_testkit::WsFrame> close;
  while (!close) {
    auto f = browser.recv_frame(20s);
    ASSERT_TRUE(f) << "after " << frames << " frames: " << f.error().text;
    if (f->opcode == opcode::CLOSE) {
      close = std::move(*f);
    } else if (f->opcode == opcode::BINARY) {
      auto m = message_in(f->payload);
      ASSERT_TRUE(m && m->is<msg::Output>()) << (m ? m->debug() : "no message");
      ++frames;
    } else {
      ASSERT_EQ(f->opcode, opcode::PING);
    }
  }
  EXPECT_EQ(close->close_code(), 1013);
  EXPECT_EQ(close->close_reason(), "send buffer over 8 MiB");
  EXPECT_LT(frames, FRAMES / 2);
  const long peak = memory_kib(d.pid(), "VmHWM:");
  EXPECT_LT(peak - baseline, 100 * 1024) << "peak " << peak << " KiB, baseline " << baseline << " KiB";
  EXPECT_FALSE(d.exited());
}

}  // namespace
