// quern-web [--port N] [--root DIR]
//
// A development web server for the browser page: serves the page, its
// terminal library from the installed node_modules, and the daemon's
// data-plane endpoint (read fresh from the endpoint file at every request).
// Port 5173 by default, the development origin that `quernd --dev` allows;
// port 0 takes any free port. Listens on 127.0.0.1 and, when it can, on ::1.
//
// The endpoint's token lets its holder drive the user's sessions, so it goes
// only to the user: quern-web draws a key at start and prints the one
// address that carries it; that first load turns the key into a cookie, and
// every request without the key gets 403. Connections whose peer belongs to
// another user are closed unanswered, where the kernel names the owner. Only
// loopback Host names and Origins are answered, so that a page of another
// site rebound to this address learns nothing either.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include "peer_owner.hpp"
#include "quern_session/paths.hpp"
#include "token.hpp"

#ifndef QUERN_WEB_ROOT
#define QUERN_WEB_ROOT "."
#endif

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

using quernd::data_plane::Token;

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t BODY_LIMIT = 64 << 10;
constexpr auto IDLE_LIMIT = 60s;
// How long the daemon's port may take to accept a probe.
constexpr auto PROBE_LIMIT = 3s;
constexpr std::uint16_t DEV_PORT = 5173;  // the port of the origin that `quernd --dev` allows

struct Options {
  std::uint16_t port = DEV_PORT;
  fs::path root = QUERN_WEB_ROOT;
};

// What a request must show: the key, as the first load's query or as the
// cookie that load set.
struct Key {
  Token token;
  std::string cookie;  // the cookie's name, with the port: each server its own
};

// The page's files: what the page asks for, and where it is under the root.
struct PageFile {
  std::string_view path;
  std::string_view file;
  std::string_view type;
};
constexpr std::string_view HTML = "text/html; charset=utf-8";
constexpr std::string_view JS = "text/javascript; charset=utf-8";
constexpr std::string_view CSS = "text/css; charset=utf-8";
constexpr PageFile PAGE[] = {
    {"/", "index.html", HTML},
    {"/client.js", "client.js", JS},
    {"/xterm.js", "node_modules/@xterm/xterm/lib/xterm.js", JS},
    {"/xterm.css", "node_modules/@xterm/xterm/css/xterm.css", CSS},
    {"/addon-fit.js", "node_modules/@xterm/addon-fit/lib/addon-fit.js", JS},
};

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

void complain(const std::string& text) { std::fprintf(stderr, "quern-web: %s\n", text.c_str()); }

std::optional<std::string> slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return s.str();
}

Response answer(const Request& req, http::status status, std::string body, std::string_view type) {
  Response res{status, req.version()};
  res.set(http::field::server, "quern-web");
  res.set(http::field::cache_control, "no-store");
  if (!type.empty()) res.set(http::field::content_type, type);
  res.keep_alive(req.keep_alive());
  res.body() = std::move(body);
  res.prepare_payload();
  return res;
}

Response text(const Request& req, http::status status, std::string body) {
  return answer(req, status, std::move(body) + "\n", "text/plain; charset=utf-8");
}

Response json_error(const Request& req, http::status status, const std::string& why) {
  boost::json::object o;
  o["error"] = why;
  return answer(req, status, boost::json::serialize(o), "application/json");
}

bool loopback_name(std::string_view host, std::uint16_t port) {
  const std::string suffix = ":" + std::to_string(port);
  for (std::string_view name : {"localhost", "127.0.0.1", "[::1]"}) {
    if (host == std::string(name) + suffix) return true;
  }
  return false;
}

// Whether something accepts connections on the daemon's port.
asio::awaitable<bool> answering(std::uint16_t port) {
  beast::tcp_stream probe(co_await asio::this_coro::executor);
  probe.expires_after(PROBE_LIMIT);
  auto [ec] = co_await probe.async_connect(tcp::endpoint{asio::ip::address_v4::loopback(), port}, use_tuple);
  boost::system::error_code ignored;
  probe.socket().close(ignored);
  co_return !ec;
}

// {"port":N,"token":"..."} from the daemon's endpoint file as it is now,
// once the daemon's port answers; otherwise 503 and what is wrong.
asio::awaitable<Response> endpoint(const Request& req) {
  const fs::path file = quern_session::paths::Runtime::from_env().data_endpoint();
  auto content = slurp(file);
  if (!content) {
    co_return json_error(req, http::status::service_unavailable,
                         "the daemon is not running: no endpoint file at " + file.string());
  }
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(*content, ec);
  const boost::json::object* o = ec ? nullptr : v.if_object();
  const boost::json::value* port = o ? o->if_contains("port") : nullptr;
  const boost::json::value* token = o ? o->if_contains("token") : nullptr;
  if (port == nullptr || token == nullptr || !token->is_string()) {
    co_return json_error(req, http::status::service_unavailable, "unreadable endpoint file " + file.string());
  }
  auto number = port->to_number<std::uint16_t>(ec);
  if (ec || number == 0) co_return json_error(req, http::status::service_unavailable, "bad port in " + file.string());
  if (!co_await answering(number)) {
    co_return json_error(req, http::status::service_unavailable,
                         "the daemon is not answering on port " + std::to_string(number) + " (" + file.string() +
                             " is from a daemon that has stopped)");
  }
  boost::json::object out;
  out["port"] = number;
  out["token"] = token->as_string();
  co_return answer(req, http::status::ok, boost::json::serialize(out), "application/json");
}

// The value of parameter `name` in the query `query`, if it has one.
std::optional<std::string_view> parameter(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=') {
      return pair.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

// The query without its `key` parameters.
std::string without_key(std::string_view query) {
  std::string kept;
  while (!query.empty()) {
    const std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    if (pair.empty() || pair == "key" || pair.starts_with("key=")) continue;
    if (!kept.empty()) kept += '&';
    kept += pair;
  }
  return kept;
}

// Whether one of the request's cookies is the key's.
bool has_key_cookie(const Key& key, const Request& req) {
  const auto [first, last] = req.equal_range(http::field::cookie);
  for (auto field = first; field != last; ++field) {
    std::string_view cookies = field->value();
    while (!cookies.empty()) {
      std::string_view one = cookies.substr(0, cookies.find(';'));
      cookies.remove_prefix(std::min(cookies.size(), one.size() + 1));
      while (one.starts_with(' ')) one.remove_prefix(1);
      const auto eq = one.find('=');
      if (eq != std::string_view::npos && one.substr(0, eq) == key.cookie && key.token.matches(one.substr(eq + 1))) {
        return true;
      }
    }
  }
  return false;
}

constexpr std::string_view NEEDS_KEY =
    "this needs quern-web's key: open the address with ?key= that quern-web printed when it started";

asio::awaitable<Response> route(const Options& o, const Key& key, const Request& req) {
  const auto host = req.find(http::field::host);
  if (host == req.end() || !loopback_name(host->value(), o.port)) {
    co_return text(req, http::status::forbidden, "host not allowed");
  }
  if (const auto origin = req.find(http::field::origin); origin != req.end()) {
    const std::string_view value = origin->value();
    if (!value.starts_with("http://") || !loopback_name(value.substr(7), o.port)) {
      co_return text(req, http::status::forbidden, "origin not allowed");
    }
  }
  const std::string_view target = req.target();
  const std::size_t mark = target.find('?');
  const std::string_view path = target.substr(0, mark);
  const std::string_view query = mark == std::string_view::npos ? std::string_view{} : target.substr(mark + 1);

  // The first load: the key becomes a cookie for this origin, and the
  // address bar loses it.
  if (path == "/") {
    if (const auto given = parameter(query, "key")) {
      if (!key.token.matches(*given)) co_return text(req, http::status::forbidden, "wrong key");
      const std::string rest = without_key(query);
      Response res = answer(req, http::status::see_other, {}, {});
      res.set(http::field::location, rest.empty() ? "/" : "/?" + rest);
      res.set(http::field::set_cookie, key.cookie + "=" + key.token.secret() + "; Path=/; HttpOnly; SameSite=Strict");
      co_return res;
    }
  }
  if (!has_key_cookie(key, req)) co_return text(req, http::status::forbidden, std::string(NEEDS_KEY));

  if (req.method() != http::verb::get && req.method() != http::verb::head) {
    co_return text(req, http::status::method_not_allowed, "GET only");
  }

  if (path == "/endpoint") co_return co_await endpoint(req);
  for (const PageFile& f : PAGE) {
    if (path != f.path) continue;
    auto content = slurp(o.root / f.file);
    if (!content) break;
    co_return answer(req, http::status::ok, std::move(*content), f.type);
  }
  co_return text(req, http::status::not_found, "not found");
}

asio::awaitable<void> serve(const Options& o, const Key& key, tcp::socket socket) {
  beast::tcp_stream stream(std::move(socket));
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(BODY_LIMIT);
    stream.expires_after(IDLE_LIMIT);
    auto [read_ec, n] = co_await http::async_read(stream, buffer, parser, use_tuple);
    if (read_ec) break;
    Request req = parser.release();
    Response res = co_await route(o, key, req);
    // HEAD: the headers of the GET, without its body.
    if (req.method() == http::verb::head) res.body().clear();
    const bool keep = res.keep_alive();
    stream.expires_after(IDLE_LIMIT);
    auto [write_ec, m] = co_await http::async_write(stream, res, use_tuple);
    if (write_ec || !keep) break;
  }
  boost::system::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
}

// Another user's connection is closed as it is accepted, unanswered; one
// whose owner cannot be told is served (it still needs the key).
bool of_this_user(const quernd::peer_owner::Owner& owner) { return !owner || *owner == ::geteuid(); }

asio::awaitable<void> accept_loop(const Options& o, const Key& key, tcp::acceptor& acceptor) {
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) co_return;
    if (ec) continue;
    if (!of_this_user(quernd::peer_owner::of_peer(socket.native_handle()))) continue;  // dropped, so closed
    asio::co_spawn(acceptor.get_executor(), serve(o, key, std::move(socket)), [](const std::exception_ptr& e) {
      if (!e) return;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        complain(std::string("connection: ") + x.what());
      }
    });
  }
}

std::optional<tcp::acceptor> listen_on(asio::io_context& io, const tcp::endpoint& at, boost::system::error_code& ec) {
  tcp::acceptor a(io);
  if (a.open(at.protocol(), ec)) return std::nullopt;
  a.set_option(tcp::acceptor::reuse_address(true), ec);
  if (at.protocol() == tcp::v6()) a.set_option(asio::ip::v6_only(true), ec);
  if (a.bind(at, ec) || a.listen(asio::socket_base::max_listen_connections, ec)) return std::nullopt;
  return a;
}

constexpr std::string_view USAGE = "usage: quern-web [--port N] [--root DIR]\n";

int usage(const std::string& why) {
  complain(why);
  std::fputs(USAGE.data(), stderr);
  return 2;
}

int run(int argc, char** argv) {
  Options o;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(USAGE.data(), stdout);
      return 0;
    }
    if (a != "--port" && a != "--root") return usage("unknown argument " + std::string(a));
    if (i + 1 == args.size()) return usage(std::string(a) + " needs a value");
    const std::string_view v = args[++i];
    if (a == "--port") {
      unsigned port = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
      if (ec != std::errc() || end != v.data() + v.size() || port > 65535) {
        return usage("bad port " + std::string(v));
      }
      o.port = static_cast<std::uint16_t>(port);
    } else {
      o.root = std::string(v);
    }
  }
  for (const PageFile& f : PAGE) {
    if (fs::is_regular_file(o.root / f.file)) continue;
    if (std::string_view(f.file).starts_with("node_modules/")) {
      complain("the page's terminal library is not installed: no " + (o.root / f.file).string() +
               " (scripts/install-deps.sh installs it, or npm ci in " + o.root.string() + ")");
    } else {
      complain("no " + std::string(f.file) + " in " + o.root.string());
    }
    return 1;
  }
  auto token = Token::generate();
  if (!token) {
    complain("cannot draw a key: " + token.error().what());
    return 1;
  }

  asio::io_context io;
  std::vector<tcp::acceptor> acceptors;
  boost::system::error_code ec;
  auto v4 = listen_on(io, {asio::ip::address_v4::loopback(), o.port}, ec);
  if (!v4) {
    complain("cannot listen on 127.0.0.1:" + std::to_string(o.port) + ": " + ec.message());
    return 1;
  }
  // Port 0: whatever port the system gave, on both addresses.
  o.port = v4->local_endpoint().port();
  acceptors.push_back(std::move(*v4));
  // Browsers may try ::1 first for "localhost"; a machine without IPv6 goes without.
  if (auto v6 = listen_on(io, {asio::ip::address_v6::loopback(), o.port}, ec)) acceptors.push_back(std::move(*v6));

  const Key key{std::move(*token), "quern-web-key-" + std::to_string(o.port)};
  for (auto& a : acceptors) {
    asio::co_spawn(io, accept_loop(o, key, a), [](const std::exception_ptr& e) {
      if (!e) return;
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& x) {
        complain(std::string("accept: ") + x.what());
      }
    });
  }
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });

  const std::string origin = "http://localhost:" + std::to_string(o.port);
  std::fprintf(stdout, "quern-web: serving the page in %s\n", o.root.c_str());
  std::fprintf(stdout, "quern-web: the daemon must allow its origin: quernd --origin %s%s\n", origin.c_str(),
               o.port == DEV_PORT ? " (or --dev)" : "");
  std::fprintf(stdout, "quern-web: open %s/?key=%s\n", origin.c_str(), key.token.secret().c_str());
  std::fflush(stdout);
  io.run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    complain(e.what());
    return 1;
  }
}
