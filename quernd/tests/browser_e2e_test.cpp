// The browser data plane from a real browser: the test page served by
// quern-web, loaded in headless Chromium, attaches to a session that a local
// client started, types a command and reports what it saw; the local client
// sees the same output. Also the web server's own contract: the endpoint
// read fresh from the daemon's file, loopback Host names only, the report.
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
#include <gtest/gtest.h>

#include "e2e_support.hpp"

namespace {

using namespace quernd_e2e;
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

  WebServer(const fs::path& runtime_root, const fs::path& dir, std::uint16_t at, const fs::path& report)
      : process({QUERN_WEB_BIN, "--port", std::to_string(at), "--root", QUERN_WEB_ROOT, "--report", report.native()},
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

std::optional<std::string> find_chromium() {
  if (const char* set = std::getenv("QUERN_CHROMIUM"); set && *set) return std::string(set);
  if (std::string built = QUERN_CHROMIUM; !built.empty() && ::access(built.c_str(), X_OK) == 0) return built;
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string d; std::getline(dirs, d, ':');) {
    for (const char* name : {"chromium", "chromium-browser", "google-chrome-stable", "google-chrome"}) {
      fs::path p = fs::path(d) / name;
      if (::access(p.c_str(), X_OK) == 0) return p.native();
    }
  }
  return std::nullopt;
}

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
  const fs::path report = dir.path / "report.json";
  WebServer web(runtime.root, dir.path, 0, report);
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

  const std::string body = R"({"ok":false,"steps":["one"],"output":"x"})";
  EXPECT_EQ(request(web.port, http::verb::post, "/report", host, key, body).status, 204u);
  EXPECT_EQ(read_file(report), body);

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
  WebServer web(runtime.root, dir.path, 0, dir.path / "report.json");
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
      {"no key: the report", "/report", host, {}},
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
  WebServer web(runtime.root, dir.path, 0, dir.path / "report.json");
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

TEST_F(BrowserTest, PageInChromiumDrivesASessionStartedLocally) {
  const auto chromium = find_chromium();
  ASSERT_TRUE(chromium) << "no Chromium found (chromium, chromium-browser or google-chrome on PATH, or "
                           "QUERN_CHROMIUM): install the Debian package chromium";

  const fs::path report = dir.path / "report.json";
  WebServer web(runtime.root, dir.path, 0, report);
  start({"--origin", web.origin});
  Client c = connect(*daemons.back());
  OutputLog log = attach(c, "web");

  const fs::path profile = dir.path / "chromium";
  fs::create_directories(profile);
  std::vector<std::string> argv{*chromium,
                                "--headless=new",
                                "--disable-gpu",
                                "--disable-dev-shm-usage",
                                "--no-first-run",
                                "--no-default-browser-check",
                                "--no-proxy-server",
                                "--disable-background-networking",
                                "--disable-component-update",
                                "--disable-sync",
                                "--user-data-dir=" + profile.native()};
  if (::geteuid() == 0) argv.push_back("--no-sandbox");
  argv.push_back(web.url + "&session=web&command=echo%20hi-%24((6*7))&expect=hi-42&auto=1");
  // Its own home and temporary directory, so that nothing of it outlives the
  // test's directory (killed, it cleans up nothing).
  fs::create_directories(profile / "tmp");
  Spawned browser(argv,
                  {"HOME=" + profile.native(), "XDG_CONFIG_HOME=" + (profile / "config").native(),
                   "XDG_CACHE_HOME=" + (profile / "cache").native(), "TMPDIR=" + (profile / "tmp").native()},
                  dir.path / "chromium.out", dir.path / "chromium.err", true);

  const bool reported = eventually([&] { return fs::exists(report) || browser.exited(); }, 60s);
  ASSERT_TRUE(reported && fs::exists(report))
      << "no report from the page within 60 s\n" << browser.describe() << "\n" << web.process.describe();

  const std::string text = read_file(report);
  boost::system::error_code ec;
  auto parsed = boost::json::parse(text, ec);
  ASSERT_FALSE(ec) << "not JSON: " << text;
  ASSERT_TRUE(parsed.is_object()) << text;
  const auto& r = parsed.as_object();
  ASSERT_TRUE(r.contains("ok") && r.at("ok").is_bool()) << text;
  ASSERT_TRUE(r.at("ok").as_bool()) << "the page failed: " << text << "\n" << web.process.describe();
  ASSERT_TRUE(r.contains("output") && r.at("output").is_string()) << text;
  EXPECT_NE(std::string_view(r.at("output").as_string()).find("hi-42"), std::string_view::npos) << text;
  ASSERT_TRUE(r.contains("steps") && r.at("steps").is_array()) << text;
  bool saw = false;
  for (const auto& s : r.at("steps").as_array()) {
    if (s.is_string() && std::string_view(s.as_string()).ends_with(R"(saw "hi-42")")) saw = true;
  }
  EXPECT_TRUE(saw) << text;

  // What the browser typed ran in the local client's session.
  read_until(c, log, "hi-42");
  EXPECT_NE(log.text.find("echo hi-$((6*7))"), std::string::npos) << log.text;
  browser.end();
  EXPECT_TRUE(web.process.ended_cleanly()) << web.process.describe();
}

}  // namespace
