// quern-web [--port N] [--root DIR] [--report FILE]
//
// A development web server for the browser test page: serves the page files,
// hands the page the daemon's data-plane endpoint (read fresh from the
// endpoint file at every request), and takes the page's test report.
// Port 5173 by default, the development origin that `quernd --dev` allows;
// port 0 takes any free port, and the first line on stdout names the port.
// Listens on 127.0.0.1 and, when it can, on ::1; only loopback Host names are
// answered, so that a page of another site rebound to this address cannot
// read the token.
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
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include "quern_session/paths.hpp"

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

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t BODY_LIMIT = 4 << 20;
constexpr auto IDLE_LIMIT = 60s;

struct Options {
  std::uint16_t port = 5173;
  fs::path root = QUERN_WEB_ROOT;
  std::optional<fs::path> report;
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

std::string_view content_type(const fs::path& p) {
  const std::string ext = p.extension().string();
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".js") return "text/javascript; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".png") return "image/png";
  if (ext == ".ico") return "image/x-icon";
  return {};
}

// A page file is one plain name in the root directory, nothing hidden and
// nothing below it.
std::optional<fs::path> page_file(const Options& o, std::string_view path) {
  if (path == "/") return o.root / "index.html";
  std::string_view name = path.substr(1);
  if (name.empty() || name.front() == '.') return std::nullopt;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_';
    if (!plain) return std::nullopt;
  }
  fs::path p = o.root / std::string(name);
  if (content_type(p).empty()) return std::nullopt;
  return p;
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

// {"port":N,"token":"..."} from the daemon's endpoint file as it is now.
Response endpoint(const Request& req) {
  const fs::path file = quern_session::paths::Runtime::from_env().data_endpoint();
  auto content = slurp(file);
  if (!content) {
    return json_error(req, http::status::service_unavailable,
                      "no endpoint file at " + file.string() + " (is quernd running with --dev?)");
  }
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(*content, ec);
  const boost::json::object* o = ec ? nullptr : v.if_object();
  const boost::json::value* port = o ? o->if_contains("port") : nullptr;
  const boost::json::value* token = o ? o->if_contains("token") : nullptr;
  if (port == nullptr || token == nullptr || !token->is_string()) {
    return json_error(req, http::status::service_unavailable, "unreadable endpoint file " + file.string());
  }
  auto number = port->to_number<std::uint16_t>(ec);
  if (ec || number == 0) return json_error(req, http::status::service_unavailable, "bad port in " + file.string());
  boost::json::object out;
  out["port"] = number;
  out["token"] = token->as_string();
  return answer(req, http::status::ok, boost::json::serialize(out), "application/json");
}

// Written beside the target and renamed over it, so that a reader sees the
// whole report or none.
bool save_report(const fs::path& target, const std::string& body) {
  fs::path part = target;
  part += ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out << body;
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  fs::rename(part, target, ec);
  return !ec;
}

Response report(const Options& o, const Request& req) {
  std::fprintf(stdout, "%s\n", req.body().c_str());
  std::fflush(stdout);
  if (o.report && !save_report(*o.report, req.body())) {
    complain("cannot write the report to " + o.report->string());
    return text(req, http::status::internal_server_error, "cannot write the report");
  }
  return answer(req, http::status::no_content, {}, {});
}

Response route(const Options& o, const Request& req) {
  const auto host = req.find(http::field::host);
  if (host == req.end() || !loopback_name(host->value(), o.port)) {
    return text(req, http::status::forbidden, "host not allowed");
  }
  if (const auto origin = req.find(http::field::origin); origin != req.end()) {
    const std::string_view value = origin->value();
    if (!value.starts_with("http://") || !loopback_name(value.substr(7), o.port)) {
      return text(req, http::status::forbidden, "origin not allowed");
    }
  }
  std::string_view target = req.target();
  const std::string_view path = target.substr(0, target.find('?'));

  if (path == "/report") {
    if (req.method() != http::verb::post) return text(req, http::status::method_not_allowed, "POST only");
    return report(o, req);
  }
  if (req.method() != http::verb::get && req.method() != http::verb::head) {
    return text(req, http::status::method_not_allowed, "GET only");
  }
  if (path == "/endpoint") return endpoint(req);
  auto file = page_file(o, path);
  if (!file) return text(req, http::status::not_found, "not found");
  auto content = slurp(*file);
  if (!content) return text(req, http::status::not_found, "not found");
  return answer(req, http::status::ok, std::move(*content), content_type(*file));
}

asio::awaitable<void> serve(const Options& o, tcp::socket socket) {
  beast::tcp_stream stream(std::move(socket));
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(BODY_LIMIT);
    stream.expires_after(IDLE_LIMIT);
    auto [read_ec, n] = co_await http::async_read(stream, buffer, parser, use_tuple);
    if (read_ec) break;
    Request req = parser.release();
    Response res = route(o, req);
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

asio::awaitable<void> accept_loop(const Options& o, tcp::acceptor& acceptor) {
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) co_return;
    if (ec) continue;
    asio::co_spawn(acceptor.get_executor(), serve(o, std::move(socket)), [](const std::exception_ptr& e) {
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

constexpr std::string_view USAGE = "usage: quern-web [--port N] [--root DIR] [--report FILE]\n";

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
    if (a != "--port" && a != "--root" && a != "--report") return usage("unknown argument " + std::string(a));
    if (i + 1 == args.size()) return usage(std::string(a) + " needs a value");
    const std::string_view v = args[++i];
    if (a == "--port") {
      unsigned port = 0;
      auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
      if (ec != std::errc() || end != v.data() + v.size() || port > 65535) {
        return usage("bad port " + std::string(v));
      }
      o.port = static_cast<std::uint16_t>(port);
    } else if (a == "--root") {
      o.root = std::string(v);
    } else {
      o.report = fs::path(std::string(v));
    }
  }
  if (!fs::is_regular_file(o.root / "index.html")) {
    complain("no index.html in " + o.root.string());
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

  for (auto& a : acceptors) {
    asio::co_spawn(io, accept_loop(o, a), [](const std::exception_ptr& e) {
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

  std::fprintf(stdout, "quern-web: listening on http://localhost:%u/ (root %s)\n", static_cast<unsigned>(o.port),
               o.root.c_str());
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
