#include "upgrade.hpp"

#include "await.hpp"

#include <algorithm>
#include <array>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/rfc7230.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

namespace quernd::data_plane {

namespace http = boost::beast::http;
using quern_session::ErrorKind;
using quern_session::OsError;

namespace {

constexpr std::string_view LOOPBACK_NAME = "localhost";
constexpr std::string_view LOOPBACK_ADDRESS = "127.0.0.1";

// The first value of a header, looked up without regard to case.
std::optional<std::string_view> first(const Request& request, http::field name) {
  auto found = request.find(name);
  if (found == request.end()) return std::nullopt;
  return std::string_view(found->value().data(), found->value().size());
}

}  // namespace

namespace {

struct Answer {
  http::status status;
  std::string_view body;
};

// Indexed by Rejection, in its order.
constexpr Answer ANSWERS[] = {
    {http::status::forbidden, "origin not allowed"},
    {http::status::bad_request, "host not allowed"},
    {http::status::not_found, "no such path"},
    {http::status::bad_request, "token in query string"},
    {http::status::unauthorized, "missing token"},
    {http::status::unauthorized, "bad token"},
};

}  // namespace

http::status status_of(Rejection r) { return ANSWERS[static_cast<std::size_t>(r)].status; }

std::string_view body_of(Rejection r) { return ANSWERS[static_cast<std::size_t>(r)].body; }

bool readable(std::string_view value) {
  return std::ranges::all_of(value, [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b == 0x09 || (b >= 0x20 && b <= 0x7e);
  });
}

std::optional<std::string_view> target_path(std::string_view target) {
  if (target.starts_with('/')) return target.substr(0, target.find('?'));
  // Absolute form: scheme "://" authority, then the path.
  if (const auto scheme_end = target.find("://"); scheme_end != std::string_view::npos && scheme_end > 0) {
    const std::string_view rest = target.substr(scheme_end + 3);
    const auto authority_end = rest.find_first_of("/?");
    if (authority_end == std::string_view::npos || rest[authority_end] == '?') return "/";
    const std::string_view path = rest.substr(authority_end);
    return path.substr(0, path.find('?'));
  }
  // Authority form, "*", or anything else without a path.
  return std::nullopt;
}

std::optional<std::string_view> value_as_sent(std::string_view head, std::string_view name) {
  constexpr std::string_view CRLF = "\r\n";
  // A line that starts with a space or a tab continues the field before it.
  auto continued = [&](std::size_t line_end) {
    return line_end + 2 < head.size() && (head[line_end + 2] == ' ' || head[line_end + 2] == '\t');
  };
  // The fields start after the request line and end at the empty line.
  auto at = head.find(CRLF);
  if (at == std::string_view::npos) return std::nullopt;
  at += 2;
  for (;;) {
    auto end = head.find(CRLF, at);
    if (end == std::string_view::npos || end == at) return std::nullopt;
    while (continued(end)) {
      const auto next = head.find(CRLF, end + 2);
      if (next == std::string_view::npos) break;
      end = next;
    }
    const std::string_view field = head.substr(at, end - at);
    at = end + 2;
    const auto colon = field.find(':');
    if (colon == std::string_view::npos || !boost::beast::iequals(field.substr(0, colon), name)) continue;
    std::string_view value = field.substr(colon + 1);
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    return value;
  }
}

std::optional<Rejection> check(std::span<const std::string> origins, std::uint16_t port, const Token& token,
                               const Request& request, std::string_view head) {
  const auto origin = value_as_sent(head, "Origin");
  if (!origin || !readable(*origin) || std::ranges::find(origins, *origin) == origins.end())
    return Rejection::OriginNotAllowed;

  const std::string suffix = ":" + std::to_string(port);
  const std::string by_address = std::string(LOOPBACK_ADDRESS) + suffix;
  const std::string by_name = std::string(LOOPBACK_NAME) + suffix;
  const auto host = value_as_sent(head, "Host");
  if (!host || !readable(*host) || (*host != by_address && *host != by_name)) return Rejection::HostNotAllowed;

  const std::string_view target(request.target().data(), request.target().size());
  if (target_path(target) != std::optional<std::string_view>("/")) return Rejection::NoSuchPath;
  if (target.find('?') != std::string_view::npos) return Rejection::TokenInQuery;

  const auto protocol = value_as_sent(head, "Sec-WebSocket-Protocol");
  if (!protocol) return Rejection::MissingToken;
  if (!token.matches(*protocol)) return Rejection::BadToken;
  return std::nullopt;
}

bool is_opening_request(const Request& request) {
  if (request.method() != http::verb::get || request.version() != 11) return false;
  const auto connection = first(request, http::field::connection);
  if (!connection || !http::token_list(*connection).exists("upgrade")) return false;
  const auto upgrade = first(request, http::field::upgrade);
  if (!upgrade || !boost::beast::iequals(*upgrade, "websocket")) return false;
  if (first(request, http::field::sec_websocket_version) != std::optional<std::string_view>("13")) return false;
  // A client's key is 16 random bytes in base64.
  const auto key = first(request, http::field::sec_websocket_key);
  return key && !key->empty() && key->size() <= 24;
}

asio::awaitable<std::expected<WsTransport, OsError>> open_websocket(asio::ip::tcp::socket socket,
                                                                   Admission admission, WsTiming timing) {
  auto refused = [](std::string text) { return std::unexpected(OsError::custom(ErrorKind::InvalidData, std::move(text))); };

  // Everything received is kept: `check` judges some values as they were
  // sent, which the parser trims.
  std::string received;
  std::size_t parsed = 0;
  http::request_parser<http::empty_body> parser;
  parser.header_limit(REQUEST_HEAD_LIMIT);
  while (!parser.is_header_done()) {
    std::array<char, 4096> chunk;
    auto [read_ec, n] = co_await socket.async_read_some(asio::buffer(chunk), use_tuple);
    if (read_ec) co_return std::unexpected(OsError::from_error_code(read_ec));
    received.append(chunk.data(), n);
    boost::system::error_code parse_ec;
    parsed += parser.put(asio::buffer(received.data() + parsed, received.size() - parsed), parse_ec);
    if (parse_ec && parse_ec != http::error::need_more) co_return std::unexpected(OsError::from_error_code(parse_ec));
  }
  const std::string_view head(received.data(), parsed);
  // A body, or bytes sent after the request before any answer: no opening
  // request, closed without a word.
  if (!parser.is_done() || received.size() != head.size()) co_return refused("bytes after the request");
  Request request = parser.release();
  if (!is_opening_request(request)) co_return refused("not a websocket opening request");

  if (auto rejection = check(*admission.origins, admission.port, admission.token, request, head)) {
    // Exactly the status line, an empty line and the text.
    http::response<http::string_body> answer{status_of(*rejection), 11};
    answer.body() = std::string(body_of(*rejection));
    (void)co_await http::async_write(socket, answer, use_tuple);
    boost::system::error_code ignored;
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
    co_return refused(std::string(body_of(*rejection)));
  }
  // The token is echoed as it was judged.
  const std::string protocol(*value_as_sent(head, "Sec-WebSocket-Protocol"));
  co_return co_await WsTransport::accept(std::move(socket), request, protocol, timing);
}

}  // namespace quernd::data_plane
