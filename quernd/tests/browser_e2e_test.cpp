// The browser data plane from a real browser: the page served by quern-web,
// loaded in headless Chromium driven over its DevTools protocol, is a
// terminal on a session that a local client started: keys typed, colours,
// the session's size after the page's, the local client's size back after
// a detach. Also the web server's own contract: nothing without its key, to
// another user or to another site; the endpoint read fresh from the
// daemon's file, and what it says when the daemon does not answer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include "devtools.hpp"
#include "e2e_support.hpp"

namespace {

using namespace quernd_e2e;
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
namespace http = boost::beast::http;

// A process the test starts, optionally as the leader of a process group of
// its own, with stdout and stderr in files; on end, killed (a group leader
// with its whole group, at once; otherwise SIGTERM first) and reaped.
class Spawned {
 public:
  Spawned(const std::vector<std::string>& argv, const std::vector<std::string>& env_set, const fs::path& out,
          const fs::path& err, bool own_group)
      : name_(argv.at(0)), out_(out), err_(err), own_group_(own_group) {
    pid_ = spawn_logged(argv, environment(env_set), out, err, std::nullopt, own_group);
  }
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;
  ~Spawned() { end(); }

  // Whether it has ended; it stays unreaped until end(), so that its number
  // (and that of its group) cannot be given to another process meanwhile.
  bool exited() {
    if (ended_) return true;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
      ended_ = true;
      code_ = info.si_code;
      status_ = info.si_status;
    }
    return ended_;
  }

  void end() {
    if (reaped_) return;
    if (own_group_) {
      ::killpg(pid_, SIGKILL);
    } else if (!exited()) {
      ::kill(pid_, SIGTERM);
      if (!eventually([&] { return exited(); }, 5s)) ::kill(pid_, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    clean_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  // Ends it; whether it then exited with status 0 (a sanitizer report makes
  // it fail).
  bool ended_cleanly() {
    end();
    return clean_;
  }

  std::string describe() const {
    std::string text = name_;
    if (ended_) {
      text += code_ == CLD_EXITED ? " exited with " + std::to_string(status_)
                                  : " ended by signal " + std::to_string(status_);
    }
    std::string err = read_file(err_);
    if (err.size() > 4000) err = "..." + err.substr(err.size() - 4000);
    return text + "; stderr:\n" + err;
  }
  std::string stdout_text() const { return read_file(out_); }

 private:
  std::string name_;
  fs::path out_;
  fs::path err_;
  bool own_group_;
  pid_t pid_ = -1;
  bool ended_ = false;
  bool reaped_ = false;
  bool clean_ = false;
  int code_ = 0;
  int status_ = 0;
};

// quern-web on the test's runtime directory, once it has said where it
// serves: its port, the address with its key that it printed, and the origin
// it says the daemon must allow.
struct WebServer {
  Spawned process;
  std::uint16_t port = 0;
  std::string key;
  std::string url;
  std::string origin;

  WebServer(const fs::path& runtime_root, const fs::path& dir, std::uint16_t at = 0)
      : process({QUERN_WEB_BIN, "--port", std::to_string(at), "--root", QUERN_WEB_ROOT},
                {"QUERN_RUNTIME_DIR=" + runtime_root.native()}, dir / "web.out", dir / "web.err", false) {
    static const std::regex open(R"(open (http://localhost:(\d+)/\?key=([0-9a-f]{64}))\n)");
    static const std::regex allow(R"(--origin (http://localhost:\d+))");
    std::smatch m;
    std::smatch o;
    bool up = eventually(
        [&] {
          const std::string out = process.stdout_text();
          if (std::regex_search(out, m, open) && std::regex_search(out, o, allow)) {
            url = m[1].str();
            port = static_cast<std::uint16_t>(std::stoi(m[2].str()));
            key = m[3].str();
            origin = o[1].str();
            return true;
          }
          return process.exited();
        },
        20s);
    if (!up || url.empty()) throw std::runtime_error("quern-web does not serve: " + process.describe());
  }

  // The cookie that the first load with the key sets.
  std::string cookie() const { return "quern-web-key-" + std::to_string(port) + "=" + key; }
};

struct HttpAnswer {
  unsigned status = 0;
  std::string head;  // the status line and header fields as sent
  std::string body;
  http::fields fields;
};

using Header = std::pair<http::field, std::string>;

// One request to the loopback address of `family` at `port`, on a
// connection of its own.
HttpAnswer request(std::uint16_t port, http::verb method, const std::string& target, const std::string& host,
                   const std::vector<Header>& headers = {}, const std::string& body = {}, bool v6 = false) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  const boost::asio::ip::address loopback = v6 ? boost::asio::ip::address(boost::asio::ip::address_v6::loopback())
                                               : boost::asio::ip::address(boost::asio::ip::address_v4::loopback());
  socket.connect({loopback, port});
  http::request<http::string_body> req{method, target, 11};
  req.set(http::field::host, host);
  req.set(http::field::connection, "close");
  for (const auto& [name, value] : headers) req.set(name, value);
  if (!body.empty()) {
    req.set(http::field::content_type, "application/json");
    req.body() = body;
  }
  req.prepare_payload();
  http::write(socket, req);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(socket, buffer, res);
  std::ostringstream head;
  head << res.base();
  return {res.result_int(), head.str(), res.body(), res.base()};
}

class BrowserTest : public E2eTest {};

TEST_F(BrowserTest, WebServerHandsOutTheCurrentEndpointToLoopbackHostsOnly) {
  WebServer web(runtime.root, dir.path);
  const std::string host = "localhost:" + std::to_string(web.port);
  EXPECT_EQ(web.origin, "http://" + host) << "the origin the daemon must allow is the page's own";

  // The first load with the key sets the key's cookie for this origin and
  // drops the key from the address, keeping the rest of the query.
  HttpAnswer first = request(web.port, http::verb::get, "/?session=x&key=" + web.key + "&y=1", host);
  EXPECT_EQ(first.status, 303u) << first.head;
  EXPECT_EQ(first.fields[http::field::location], "/?session=x&y=1");
  EXPECT_EQ(first.fields[http::field::set_cookie], web.cookie() + "; Path=/; HttpOnly; SameSite=Strict");
  const std::vector<Header> key{{http::field::cookie, "other=1; " + web.cookie()}};

  // No daemon yet: no endpoint, and the answer says where it looked.
  HttpAnswer none = request(web.port, http::verb::get, "/endpoint", host, key);
  EXPECT_EQ(none.status, 503u) << none.body;
  EXPECT_NE(none.body.find(runtime.data_endpoint().native()), std::string::npos) << none.body;

  // The same server, once the daemon runs: exactly the file's port and token.
  DaemonProcess& daemon = start({"--origin", web.origin});
  HttpAnswer got = request(web.port, http::verb::get, "/endpoint", "127.0.0.1:" + std::to_string(web.port), key);
  ASSERT_EQ(got.status, 200u) << got.body;
  auto file = boost::json::parse(read_file(runtime.data_endpoint())).as_object();
  auto served = boost::json::parse(got.body).as_object();
  EXPECT_EQ(served.size(), 2u) << got.body;
  EXPECT_EQ(served.at("port"), file.at("port"));
  EXPECT_EQ(served.at("token"), file.at("token"));
  const std::string token(file.at("token").as_string());

  // A name that is not loopback (a rebound address) learns nothing.
  HttpAnswer rebound = request(web.port, http::verb::get, "/endpoint", "evil.example:" + std::to_string(web.port), key);
  EXPECT_EQ(rebound.status, 403u);
  EXPECT_EQ(rebound.body.find(token), std::string::npos);

  HttpAnswer page = request(web.port, http::verb::get, "/?session=x", host, key);
  EXPECT_EQ(page.status, 200u);
  EXPECT_NE(page.body.find("client.js"), std::string::npos);
  for (const char* file : {"/client.js", "/xterm.js", "/xterm.css", "/addon-fit.js"}) {
    EXPECT_EQ(request(web.port, http::verb::get, file, host, key).status, 200u) << file;
  }
  EXPECT_EQ(request(web.port, http::verb::get, "/../CMakeLists.txt", host, key).status, 404u);
  EXPECT_EQ(request(web.port, http::verb::get, "/server.cpp", host, key).status, 404u);
  EXPECT_EQ(request(web.port, http::verb::get, "/package.json", host, key).status, 404u);
  EXPECT_EQ(request(web.port, http::verb::post, "/endpoint", host, key).status, 405u);

  // A daemon killed outright leaves its endpoint file behind: the endpoint
  // says that the daemon does not answer, not where it was.
  daemon.signal(SIGKILL);
  ASSERT_TRUE(daemon.wait_exit(20s));
  ASSERT_TRUE(fs::exists(runtime.data_endpoint()));
  HttpAnswer stale = request(web.port, http::verb::get, "/endpoint", host, key);
  EXPECT_EQ(stale.status, 503u) << stale.body;
  EXPECT_NE(stale.body.find("not answering on port " + std::to_string(served.at("port").as_int64())),
            std::string::npos)
      << stale.body;
  EXPECT_EQ(stale.body.find(token), std::string::npos);
  EXPECT_TRUE(web.process.ended_cleanly()) << web.process.describe();
}

TEST_F(BrowserTest, WebServerGivesNothingWithoutTheKeyOrFromAnotherSite) {
  WebServer web(runtime.root, dir.path);
  start({"--origin", web.origin});
  const std::string token(boost::json::parse(read_file(runtime.data_endpoint())).as_object().at("token").as_string());
  const std::string port = std::to_string(web.port);
  const std::string host = "localhost:" + port;
  std::string wrong = web.key;
  wrong[10] = wrong[10] == '0' ? '1' : '0';
  const Header cookie{http::field::cookie, web.cookie()};

  struct Case {
    const char* what;
    std::string target;
    std::string host;
    std::vector<Header> headers;
    bool v6 = false;
  };
  const Case cases[] = {
      {"no key: the endpoint", "/endpoint", host, {}},
      {"no key: the endpoint over IPv6", "/endpoint", "[::1]:" + port, {}, true},
      {"no key: the page", "/", host, {}},
      {"no key: its script", "/client.js", host, {}},
      {"no key: the terminal library", "/xterm.js", host, {}},
      {"a wrong key", "/?key=" + wrong, host, {}},
      {"a key one digit short", "/?key=" + web.key.substr(1), host, {}},
      {"the key and more", "/?key=" + web.key + "0", host, {}},
      {"an empty key", "/?key=", host, {}},
      {"a wrong key's cookie", "/endpoint", host, {{http::field::cookie, "quern-web-key-" + port + "=" + wrong}}},
      {"the key's value under another name", "/endpoint", host, {{http::field::cookie, "key=" + web.key}}},
      {"the key, a foreign Host", "/?key=" + web.key, "evil.example:" + port, {}},
      {"the cookie, a foreign Host", "/endpoint", "evil.example:" + port, {cookie}},
      {"the cookie, a foreign Origin", "/endpoint", host, {cookie, {http::field::origin, "http://evil.example"}}},
      {"the cookie, the Origin of another port", "/endpoint", host, {cookie, {http::field::origin, "http://localhost:1"}}},
      {"the key, a foreign Origin", "/?key=" + web.key, host, {{http::field::origin, "http://evil.example"}}},
  };
  for (const Case& c : cases) {
    HttpAnswer a = request(web.port, http::verb::get, c.target, c.host, c.headers, {}, c.v6);
    EXPECT_EQ(a.status, 403u) << c.what << "\n" << a.head << a.body;
    for (const std::string& secret : {token, web.key}) {
      EXPECT_EQ((a.head + a.body).find(secret), std::string::npos) << c.what << "\n" << a.head << a.body;
    }
  }
  EXPECT_TRUE(web.process.ended_cleanly()) << web.process.describe();
}

TEST_F(BrowserTest, WebServerClosesTheConnectionsOfOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "another user's connection needs root";
  WebServer web(runtime.root, dir.path);
  start({"--origin", web.origin});
  const std::string token(boost::json::parse(read_file(runtime.data_endpoint())).as_object().at("token").as_string());
  const std::string port = std::to_string(web.port);

  // Another user's request that has everything, the key too: its connection
  // ends unanswered, on either address. The owner's gets the endpoint.
  for (const bool v6 : {false, true}) {
    SCOPED_TRACE(v6 ? "::1" : "127.0.0.1");
    const std::string head = "GET /endpoint HTTP/1.1\r\nHost: localhost:" + port + "\r\nCookie: " + web.cookie() +
                             "\r\nConnection: close\r\n\r\n";
    sockaddr_storage to{};
    socklen_t to_len = 0;
    if (v6) {
      auto& a = reinterpret_cast<sockaddr_in6&>(to);
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      a.sin6_port = htons(web.port);
      to_len = sizeof a;
    } else {
      auto& a = reinterpret_cast<sockaddr_in&>(to);
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(web.port);
      to_len = sizeof a;
    }
    // The child's status: 0 when nothing came back, 10 when something did.
    auto child = quern_test_support::as_user(65534, 65534, [&]() -> int {
      const int s = ::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (s < 0 || ::connect(s, reinterpret_cast<const sockaddr*>(&to), to_len) != 0) return 2;
      (void)::send(s, head.data(), head.size(), MSG_NOSIGNAL);
      pollfd p{s, POLLIN, 0};
      if (::poll(&p, 1, 60'000) != 1) return 3;
      char c;
      const ssize_t n = ::recv(s, &c, 1, 0);
      return n > 0 ? 10 : 0;
    });
    EXPECT_EQ(child.wait_exit(90s), 0) << "another user's connection was answered";

    HttpAnswer mine = request(web.port, http::verb::get, "/endpoint", "localhost:" + port,
                              {{http::field::cookie, web.cookie()}}, {}, v6);
    EXPECT_EQ(mine.status, 200u) << mine.head << mine.body;
    EXPECT_NE(mine.body.find(token), std::string::npos);
  }
  EXPECT_TRUE(web.process.ended_cleanly()) << web.process.describe();
}

// What the page's terminal shows, read through its buffer API: its size, the
// text of its lines, and where the line "RED" is that `printf` coloured,
// followed by the two numbers that `tput` printed, with the colours of its
// cells and of the first digit below it.
constexpr std::string_view SCREEN = R"js((() => {
  const b = term.buffer.active;
  const lines = [];
  for (let y = 0; y < b.length; y++) lines.push(b.getLine(y).translateToString(true));
  const number = (y) => /^[0-9]+$/.test(lines[y] || "");
  const at = lines.findIndex((l, y) => l === "RED" && number(y + 1) && number(y + 2));
  const cell = (y, x) => {
    const c = b.getLine(y).getCell(x);
    return { chars: c.getChars(), palette: c.isFgPalette(), colour: c.getFgColor(), plain: c.isFgDefault() };
  };
  return {
    cols: term.cols, rows: term.rows, lines: lines.filter((l) => l !== ""), at,
    red: at < 0 ? [] : [cell(at, 0), cell(at, 1), cell(at, 2)],
    below: at < 0 ? null : cell(at + 1, 0),
    reported: at < 0 ? [] : [Number(lines[at + 1]), Number(lines[at + 2])],
  };
})())js";

std::string state_of(devtools::Page& page) {
  try {
    return boost::json::serialize(page.evaluate(
        "({state: document.body.dataset.state, status: document.getElementById('status').textContent, "
        "errors: document.getElementById('errors').textContent})"));
  } catch (const std::exception& e) {
    return e.what();
  }
}

// The page's terminal size as the session reports it: the line that
// `echo size:$(tput cols)x$(tput lines)` printed for the terminal's size now.
constexpr std::string_view SIZE_SHOWN = R"js((() => {
  const b = term.buffer.active;
  const want = `size:${term.cols}x${term.rows}`;
  for (let y = 0; y < b.length; y++) if (b.getLine(y).translateToString(true) === want) return true;
  return false;
})())js";

TEST_F(BrowserTest, PageInChromiumIsATerminalOnASessionStartedLocally) {
  const auto chromium = devtools::find_chromium();
  ASSERT_TRUE(chromium) << "no Chromium found (chromium, chromium-browser or google-chrome on PATH, or "
                           "QUERN_CHROMIUM): install the Debian package chromium";

  // quern-web on a port of the system's choosing, and the daemon started
  // with the origin that quern-web says the page needs.
  WebServer web(runtime.root, dir.path);
  start({"--origin", web.origin});
  Client c = connect(*daemons.back());
  // The local client's size, which the page's is not.
  constexpr std::uint16_t LOCAL_COLS = 77;
  constexpr std::uint16_t LOCAL_ROWS = 21;
  msg::Attach local = attach_request("web", LOCAL_COLS, LOCAL_ROWS);
  local.env["TERM"] = "xterm-256color";
  OutputLog log = attach(c, local);

  devtools::Browser browser(*chromium, dir.path);
  devtools::Page page = browser.open("about:blank");
  page.resize_window(1000, 700);
  page.navigate(web.url + "&session=web");
  ASSERT_TRUE(page.wait_for("document.body && document.body.dataset.state === 'connected'", 60s))
      << state_of(page) << "\n" << browser.describe() << "\n" << web.process.describe();
  EXPECT_EQ(page.evaluate("location.search"), "?session=web") << "the key stays in the address bar";
  EXPECT_EQ(page.evaluate("document.cookie"), "") << "the key's cookie is for the server only";

  page.evaluate("document.getElementById('attach').click()");
  ASSERT_TRUE(page.wait_for("document.body.dataset.state === 'attached'", 60s)) << state_of(page);
  page.type("printf '\\033[31mRED\\033[0m\\n'; tput cols; tput lines\n");

  boost::json::object screen;
  const bool shown = eventually(
      [&] {
        screen = page.evaluate(std::string(SCREEN)).as_object();
        return screen.at("at").as_int64() >= 0;
      },
      60s);
  ASSERT_TRUE(shown) << "no RED and two numbers in the terminal: " << boost::json::serialize(screen) << "\n"
                     << state_of(page);
  const std::string text = boost::json::serialize(screen);
  for (const auto& cell : screen.at("red").as_array()) {
    EXPECT_EQ(cell.at("palette"), true) << text;
    EXPECT_EQ(cell.at("colour"), 1) << "red is colour 1 of the palette\n" << text;
  }
  EXPECT_EQ(screen.at("below").at("plain"), true) << "the colour ends with RED\n" << text;
  const std::int64_t cols = screen.at("cols").as_int64();
  const std::int64_t rows = screen.at("rows").as_int64();
  EXPECT_EQ(screen.at("reported"), (boost::json::array{cols, rows})) << "the session's size is the page's\n" << text;
  EXPECT_TRUE(cols != LOCAL_COLS && rows != LOCAL_ROWS && cols != 80 && rows != 24) << text;
  // The keys went to the local client's session.
  read_until(c, log, "\x1b[31mRED\x1b[0m", 30s);

  // The screenshot, for a person to look at.
  const fs::path out = fs::path(QUERN_TEST_OUTPUT_DIR) / "browser-page.png";
  fs::create_directories(out.parent_path());
  write_file(out, page.screenshot());

  // A smaller window: the terminal fits it, and the session follows.
  page.resize_window(700, 450);
  ASSERT_TRUE(page.wait_for("term.cols < " + std::to_string(cols) + " && term.rows < " + std::to_string(rows), 60s))
      << state_of(page);
  page.type("echo size:$(tput cols)x$(tput lines)\n");
  EXPECT_TRUE(page.wait_for(std::string(SIZE_SHOWN), 60s))
      << boost::json::serialize(page.evaluate(std::string(SCREEN))) << "\n" << state_of(page);

  // A page of another browser context, without the key: no page, no token.
  const std::string token(boost::json::parse(read_file(runtime.data_endpoint())).as_object().at("token").as_string());
  devtools::Page stranger = browser.open(web.origin + "/?session=web", browser.new_context());
  ASSERT_TRUE(stranger.wait_for("document.readyState === 'complete' && location.href.startsWith('http')", 60s));
  const std::string seen = boost::json::serialize(stranger.evaluate(
      "fetch('/endpoint').then(async (r) => ({status: r.status, body: await r.text(), "
      "page: document.documentElement.outerHTML}))"));
  EXPECT_NE(seen.find(R"("status":403)"), std::string::npos) << seen;
  EXPECT_EQ(seen.find(token), std::string::npos) << seen;
  EXPECT_EQ(seen.find("client.js"), std::string::npos) << seen;

  // Detached, the page leaves the session to the local client, at its size.
  page.evaluate("document.getElementById('detach').click()");
  ASSERT_TRUE(page.wait_for("document.body.dataset.state === 'detached'", 60s)) << state_of(page);
  type(c, "web", "echo size:$(tput cols)x$(tput lines)\n");
  const std::string local_size = "\nsize:" + std::to_string(LOCAL_COLS) + "x" + std::to_string(LOCAL_ROWS);
  try {
    read_until(c, log, local_size, 30s);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "the session did not take the local client's size again once the page detached\n" << e.what();
  }

  EXPECT_TRUE(web.process.ended_cleanly()) << web.process.describe();
}

TEST_F(BrowserTest, PageSaysWhyItCannotConnectAndFindsARestartedDaemon) {
  const auto chromium = devtools::find_chromium();
  ASSERT_TRUE(chromium) << "no Chromium found: install the Debian package chromium";
  WebServer web(runtime.root, dir.path);
  devtools::Browser browser(*chromium, dir.path);
  devtools::Page page = browser.open("about:blank");
  // The page's state and its status text once it holds `words`.
  auto says = [&](const std::string& state, const std::string& words) {
    return page.wait_for("document.body.dataset.state === '" + state +
                             "' && document.getElementById('status').textContent.includes(" +
                             boost::json::serialize(boost::json::value(words)) + ")",
                         60s);
  };
  auto attach_click = [&] { page.evaluate("document.getElementById('attach').click()"); };

  // No daemon at all.
  page.navigate(web.url + "&session=web");
  EXPECT_TRUE(says("failed", "the daemon is not running")) << state_of(page);

  // A daemon that does not allow this page's origin.
  DaemonProcess& other = start({"--origin", "http://other.example"});
  attach_click();
  EXPECT_TRUE(says("failed", "refused this page")) << state_of(page);
  EXPECT_TRUE(says("failed", "--origin " + web.origin)) << state_of(page);
  other.stop();

  // One that does: the endpoint is read again for the new connection.
  DaemonProcess& first = start({"--origin", web.origin});
  Client c = connect(first);
  OutputLog log = attach(c, "web");
  attach_click();
  ASSERT_TRUE(says("attached", "attached to web")) << state_of(page);

  // Killed outright, it leaves its endpoint file: the page says that the
  // daemon does not answer, not that it refuses.
  first.signal(SIGKILL);
  EXPECT_TRUE(says("failed", "the daemon is not answering")) << state_of(page);
  EXPECT_TRUE(says("failed", "session web keeps running")) << state_of(page);

  // Started again, with a new port and token: the next attach finds it.
  start({"--origin", web.origin});
  attach_click();
  EXPECT_TRUE(says("attached", "attached to web")) << state_of(page);
  EXPECT_TRUE(web.process.ended_cleanly()) << web.process.describe();
}

}  // namespace
