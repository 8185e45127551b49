// Admission of a browser connection: the opening request is read with fixed
// limits, held to what a WebSocket opening request must be, and judged by
// `check` on its Origin, Host, path, query and token. A refused request gets
// a bare HTTP answer; an invalid one gets nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/status.hpp>

#include "quern_session/os_error.hpp"
#include "token.hpp"
#include "ws_transport.hpp"

namespace quernd::data_plane {

namespace asio = boost::asio;

// The largest request head taken from a browser.
inline constexpr std::uint32_t REQUEST_HEAD_LIMIT = 65'536;

// Why `check` refuses a request, in the order the tests run.
enum class Rejection {
  OriginNotAllowed,
  HostNotAllowed,
  NoSuchPath,
  TokenInQuery,
  MissingToken,
  BadToken,
};

boost::beast::http::status status_of(Rejection r);
std::string_view body_of(Rejection r);

using Origins = std::shared_ptr<const std::vector<std::string>>;

// Decides on a request: none to accept it, else the first test it fails.
// The target is taken from the parsed request; Origin, Host and
// Sec-WebSocket-Protocol from `head`, the request head as received, because
// the parser trims the values it keeps.
std::optional<Rejection> check(std::span<const std::string> origins, std::uint16_t port, const Token& token,
                               const Request& request, std::string_view head);

// The value of the first field named `name` (in any case) in a request head
// as received: everything after the colon and the white space that follows
// it, up to the end of the field, trailing white space included. A value
// folded onto further lines keeps its line breaks, so it never equals a
// value that fits on one line.
std::optional<std::string_view> value_as_sent(std::string_view head, std::string_view name);

// Whether a header value is readable text: every byte a tab or in 0x20-0x7E.
bool readable(std::string_view value);

// The path of a request target for the path test: the part before any "?"
// of an origin-form target, the path of an absolute-form one ("/" when it is
// empty), and none for a target with no path at all.
std::optional<std::string_view> target_path(std::string_view target);

// Whether the request is a WebSocket opening request at all: GET, HTTP/1.1,
// Connection naming upgrade, Upgrade websocket, version 13 and a key.
bool is_opening_request(const Request& request);

// What a handshake needs to judge its request.
struct Admission {
  Origins origins;
  Token token;
  std::uint16_t port = 0;
};

// Reads the opening request from `socket` and either refuses it (with its
// HTTP answer when `check` refused it, with nothing when it is no opening
// request) or upgrades the connection. Every failure has closed the socket.
asio::awaitable<std::expected<WsTransport, quern_session::OsError>> open_websocket(asio::ip::tcp::socket socket,
                                                                                  Admission admission,
                                                                                  WsTiming timing);

}  // namespace quernd::data_plane
