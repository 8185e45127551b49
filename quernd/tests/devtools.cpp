// Headless Chromium driven over its DevTools protocol on a pipe.
#include "devtools.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/beast/core/detail/base64.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "quern_test_support/env.hpp"
#include "quern_test_support/files.hpp"

#ifndef QUERN_CHROMIUM
#define QUERN_CHROMIUM ""
#endif

namespace quernd_e2e::devtools {

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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

Browser::Browser(const std::string& chromium, const fs::path& dir) : err_(dir / "chromium.err") {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) throw std::runtime_error("socketpair");
  pipe_ = quern_session::Fd(ends[0]);
  // Above the descriptors the child is given, so that no dup lands on itself.
  quern_session::Fd theirs(::fcntl(ends[1], F_DUPFD_CLOEXEC, 10));
  ::close(ends[1]);
  if (theirs.get() < 0) throw std::runtime_error("fcntl");

  // Its own profile, home and temporary directory, so that nothing of it
  // outlives the test's directory (killed, it cleans up nothing).
  const fs::path profile = dir / "chromium";
  fs::create_directories(profile / "tmp");
  std::vector<std::string> argv{chromium,
                                "--headless",
                                "--remote-debugging-pipe",
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
  argv.push_back("about:blank");
  const std::vector<std::string> env = quern_test_support::environment(
      {"HOME=" + profile.native(), "XDG_CONFIG_HOME=" + (profile / "config").native(),
       "XDG_CACHE_HOME=" + (profile / "cache").native(), "TMPDIR=" + (profile / "tmp").native()});
  process_ = quern_test_support::Process({.argv = argv,
                                          .env = env,
                                          .dups = {{theirs.get(), 3}, {theirs.get(), 4}},
                                          .opens = {{STDIN_FILENO, "/dev/null", O_RDONLY},
                                                    {STDOUT_FILENO, dir / "chromium.out", O_WRONLY | O_CREAT | O_TRUNC},
                                                    {STDERR_FILENO, err_, O_WRONLY | O_CREAT | O_TRUNC}},
                                          .own_group = true});
}

Browser::~Browser() {
  // The browser's helpers are in its group.
  if (process_.pid() > 0) ::killpg(process_.pid(), SIGKILL);
  process_.end();
}

std::string Browser::describe() const {
  std::string err = quern_test_support::read_file(err_);
  if (err.size() > 4000) err = "..." + err.substr(err.size() - 4000);
  return "chromium's stderr:\n" + err;
}

json::object Browser::call(const std::string& method, json::object params, const std::string& session,
                           std::chrono::milliseconds limit) {
  const std::uint64_t id = next_id_++;
  json::object message{{"id", id}, {"method", method}, {"params", std::move(params)}};
  if (!session.empty()) message["sessionId"] = session;
  std::string text = json::serialize(message);
  text.push_back('\0');
  for (std::size_t sent = 0; sent < text.size();) {
    const ssize_t n = ::send(pipe_.get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(method + ": the browser does not read any more\n" + describe());
    sent += static_cast<std::size_t>(n);
  }

  const auto deadline = Clock::now() + limit;
  for (;;) {
    // Messages end with a NUL; events (no id) and other answers are passed by.
    for (std::size_t end; (end = pending_.find('\0')) != std::string::npos;) {
      const std::string one = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      boost::system::error_code ec;
      json::value v = json::parse(one, ec);
      const json::object* o = ec ? nullptr : v.if_object();
      const json::value* got = o ? o->if_contains("id") : nullptr;
      if (got == nullptr || !got->is_number() || got->to_number<std::uint64_t>() != id) continue;
      if (const json::value* error = o->if_contains("error")) {
        throw std::runtime_error(method + ": " + json::serialize(*error));
      }
      const json::value* result = o->if_contains("result");
      return result && result->is_object() ? result->as_object() : json::object{};
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) throw std::runtime_error(method + ": no answer within " + std::to_string(limit.count()) + " ms");
    pollfd p{pipe_.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) throw std::runtime_error("poll");
    if (ready <= 0) continue;
    char buffer[65536];
    const ssize_t n = ::read(pipe_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(method + ": the browser has gone\n" + describe());
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string Browser::new_context() {
  return std::string(call("Target.createBrowserContext").at("browserContextId").as_string());
}

Page Browser::open(const std::string& url, const std::string& context) {
  json::object params{{"url", url}};
  if (!context.empty()) params["browserContextId"] = context;
  std::string target(call("Target.createTarget", std::move(params)).at("targetId").as_string());
  std::string session(
      call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}).at("sessionId").as_string());
  return Page(*this, std::move(target), std::move(session));
}

json::object Page::call(const std::string& method, json::object params) {
  return browser_->call(method, std::move(params), session_);
}

json::value Page::evaluate(const std::string& expression) {
  json::object r = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
  if (const json::value* thrown = r.if_contains("exceptionDetails")) {
    throw std::runtime_error("the page's script threw: " + json::serialize(*thrown));
  }
  const json::value* result = r.if_contains("result");
  const json::value* value = result && result->is_object() ? result->as_object().if_contains("value") : nullptr;
  return value ? *value : json::value(nullptr);
}

bool Page::wait_for(const std::string& expression, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    try {
      // While a document is replaced there is none to evaluate in.
      const json::value v = evaluate("Boolean(" + expression + ")");
      if (v.is_bool() && v.as_bool()) return true;
    } catch (const std::runtime_error&) {
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

void Page::navigate(const std::string& url) {
  json::object r = call("Page.navigate", {{"url", url}});
  if (const json::value* error = r.if_contains("errorText")) {
    throw std::runtime_error("navigating to " + url + ": " + json::serialize(*error));
  }
}

void Page::type(std::string_view text) {
  for (char c : text) {
    json::object down;
    json::object up;
    if (c == '\n') {
      down = {{"type", "keyDown"}, {"key", "Enter"}, {"code", "Enter"}, {"windowsVirtualKeyCode", 13},
              {"text", "\r"}, {"unmodifiedText", "\r"}};
      up = {{"type", "keyUp"}, {"key", "Enter"}, {"code", "Enter"}, {"windowsVirtualKeyCode", 13}};
    } else {
      const std::string key(1, c);
      down = {{"type", "keyDown"}, {"key", key}, {"text", key}, {"unmodifiedText", key}};
      up = {{"type", "keyUp"}, {"key", key}};
    }
    call("Input.dispatchKeyEvent", std::move(down));
    call("Input.dispatchKeyEvent", std::move(up));
  }
}

void Page::resize_window(int width, int height) {
  const json::object window = browser_->call("Browser.getWindowForTarget", {{"targetId", target_}});
  browser_->call("Browser.setWindowBounds", {{"windowId", window.at("windowId")},
                                             {"bounds", {{"width", width}, {"height", height}}}});
}

std::string Page::screenshot() {
  const json::object r = call("Page.captureScreenshot", {{"format", "png"}});
  const json::string& data = r.at("data").as_string();
  std::string png(boost::beast::detail::base64::decoded_size(data.size()), '\0');
  const auto [written, read] = boost::beast::detail::base64::decode(png.data(), data.data(), data.size());
  png.resize(written);
  return png;
}

}  // namespace quernd_e2e::devtools
