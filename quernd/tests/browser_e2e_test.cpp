// The browser data plane from a real browser: the test page served by
// quern-web, loaded in headless Chromium, attaches to a session that a local
// client started, types a command and reports what it saw; the local client
// sees the same output. Also the web server's own contract: the endpoint
// read fresh from the daemon's file, loopback Host names only, the report.
#include <fcntl.h>
#include <signal.h>
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

constexpr std::uint16_t DEV_PORT = 5173;  // the port of the origin that --dev allows

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

// quern-web on the test's runtime directory, once it listens; its port.
struct WebServer {
  Spawned process;
  std::uint16_t port = 0;

  WebServer(const fs::path& runtime_root, const fs::path& dir, std::uint16_t at, const fs::path& report)
      : process({QUERN_WEB_BIN, "--port", std::to_string(at), "--root", QUERN_WEB_ROOT, "--report", report.native()},
                {"QUERN_RUNTIME_DIR=" + runtime_root.native()}, dir / "web.out", dir / "web.err", false) {
    static const std::regex listening(R"(listening on http://localhost:(\d+)/)");
    std::string found;
    bool up = eventually(
        [&] {
          std::string out = process.stdout_text();
          if (std::smatch m; std::regex_search(out, m, listening)) found = m[1].str();
          return !found.empty() || process.exited();
        },
        20s);
    if (!up || found.empty()) throw std::runtime_error("quern-web does not listen: " + process.describe());
    port = static_cast<std::uint16_t>(std::stoi(found));
  }
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
  std::string body;
};

// One request to 127.0.0.1:port on a connection of its own.
HttpAnswer request(std::uint16_t port, http::verb method, const std::string& target, const std::string& host,
                   const std::string& body = {}) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::address_v4::loopback(), port});
  http::request<http::string_body> req{method, target, 11};
  req.set(http::field::host, host);
  req.set(http::field::connection, "close");
  if (!body.empty()) {
    req.set(http::field::content_type, "application/json");
    req.body() = body;
  }
  req.prepare_payload();
  http::write(socket, req);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> res;
  http::read(socket, buffer, res);
  return {res.result_int(), res.body()};
}

class BrowserTest : public E2eTest {};

TEST_F(BrowserTest, WebServerHandsOutTheCurrentEndpointToLoopbackHostsOnly) {
  const fs::path report = dir.path / "report.json";
  WebServer web(runtime.root, dir.path, 0, report);
  const std::string host = "localhost:" + std::to_string(web.port);

  // No daemon yet: no endpoint, and the answer says where it looked.
  HttpAnswer none = request(web.port, http::verb::get, "/endpoint", host);
  EXPECT_EQ(none.status, 503u) << none.body;
  EXPECT_NE(none.body.find(runtime.data_endpoint().native()), std::string::npos) << none.body;

  // The same server, once the daemon runs: exactly the file's port and token.
  start({"--dev"});
  HttpAnswer got = request(web.port, http::verb::get, "/endpoint", "127.0.0.1:" + std::to_string(web.port));
  ASSERT_EQ(got.status, 200u) << got.body;
  auto file = boost::json::parse(read_file(runtime.data_endpoint())).as_object();
  auto served = boost::json::parse(got.body).as_object();
  EXPECT_EQ(served.size(), 2u) << got.body;
  EXPECT_EQ(served.at("port"), file.at("port"));
  EXPECT_EQ(served.at("token"), file.at("token"));

  // A name that is not loopback (a rebound address) learns nothing.
  HttpAnswer rebound = request(web.port, http::verb::get, "/endpoint", "evil.example:" + std::to_string(web.port));
  EXPECT_EQ(rebound.status, 403u);
  EXPECT_EQ(rebound.body.find(std::string(file.at("token").as_string())), std::string::npos);

  HttpAnswer page = request(web.port, http::verb::get, "/?session=x", host);
  EXPECT_EQ(page.status, 200u);
  EXPECT_NE(page.body.find("client.js"), std::string::npos);
  EXPECT_EQ(request(web.port, http::verb::get, "/client.js", host).status, 200u);
  EXPECT_EQ(request(web.port, http::verb::get, "/../CMakeLists.txt", host).status, 404u);
  EXPECT_EQ(request(web.port, http::verb::get, "/server.cpp", host).status, 404u);

  const std::string body = R"({"ok":false,"steps":["one"],"output":"x"})";
  EXPECT_EQ(request(web.port, http::verb::post, "/report", host, body).status, 204u);
  EXPECT_EQ(read_file(report), body);
  EXPECT_TRUE(web.process.ended_cleanly()) << web.process.describe();
}

TEST_F(BrowserTest, PageInChromiumDrivesASessionStartedLocally) {
  const auto chromium = find_chromium();
  ASSERT_TRUE(chromium) << "no Chromium found (chromium, chromium-browser or google-chrome on PATH, or "
                           "QUERN_CHROMIUM): install the Debian package chromium";

  start({"--dev"});
  Client c = connect(*daemons.back());
  OutputLog log = attach(c, "web");

  const fs::path report = dir.path / "report.json";
  WebServer web(runtime.root, dir.path, DEV_PORT, report);

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
  argv.push_back("http://localhost:5173/?session=web&command=echo%20hi-%24((6*7))&expect=hi-42&auto=1");
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
