// The upgrade check on any request head that parses: its verdict is the
// first of its six tests that fails, each worked out here from the head's
// fields as sent, in order (first occurrence, name in any case, the value
// after the colon and its white space, trailing white space and folded
// lines kept), and only a request that passes them all is accepted. Where
// the parser keeps a value on one line, it is the value as sent without its
// trailing white space.
//
// Input: the request head as a browser would send it.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include "token.hpp"
#include "upgrade.hpp"

namespace {

namespace http = boost::beast::http;
using namespace quernd::data_plane;

constexpr std::uint16_t PORT = 45775;
constexpr std::string_view TOKEN = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::array<std::string, 2> ORIGINS = {"http://localhost:5173", "https://app.example"};

void require(bool ok) {
  if (!ok) std::abort();
}

using Fields = std::vector<std::pair<std::string_view, std::string_view>>;

// Each field of the head with its value as sent; a line that starts with a
// space or a tab belongs to the field before it, line break and all.
Fields fields_as_sent(std::string_view head) {
  Fields fields;
  for (std::size_t line = head.find("\r\n") + 2;;) {
    const std::size_t end = head.find("\r\n", line);
    if (end == line) break;
    if (head[line] == ' ' || head[line] == '\t') {
      require(!fields.empty());
      auto& value = fields.back().second;
      value = std::string_view(value.data(), static_cast<std::size_t>(head.data() + end - value.data()));
    } else {
      const std::size_t colon = head.find(':', line);
      std::size_t start = colon + 1;
      while (start < end && (head[start] == ' ' || head[start] == '\t')) ++start;
      fields.emplace_back(head.substr(line, colon - line), head.substr(start, end - start));
    }
    line = end + 2;
  }
  return fields;
}

// The value of the first field of this name, whatever its case.
std::optional<std::string_view> first(const Fields& fields, std::string_view name) {
  for (const auto& [n, value] : fields) {
    if (boost::beast::iequals(n, name)) return value;
  }
  return std::nullopt;
}

std::optional<std::string_view> first(const Request& request, std::string_view name) {
  for (const auto& field : request) {
    if (boost::beast::iequals(field.name_string(), name)) return std::string_view(field.value().data(), field.value().size());
  }
  return std::nullopt;
}

// The parser has the same fields: a value on one line is the value as sent
// less its trailing white space.
void require_same_fields(const Fields& fields, const Request& request) {
  for (const std::string_view name : {"Origin", "Host", "Sec-WebSocket-Protocol"}) {
    const auto sent = first(fields, name);
    const auto parsed = first(request, name);
    require(sent.has_value() == parsed.has_value());
    if (!sent || sent->find('\r') != std::string_view::npos) continue;
    std::string_view trimmed = *sent;
    while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t')) trimmed.remove_suffix(1);
    require(trimmed == *parsed);
  }
}

bool printable(std::string_view v) {
  for (const char c : v) {
    const auto b = static_cast<unsigned char>(c);
    if (b != '\t' && (b < 0x20 || b > 0x7e)) return false;
  }
  return true;
}

// "/" alone, or an absolute-form target whose path is empty or "/", with
// any query after it.
bool path_is_root(std::string_view t) {
  if (t.starts_with('/')) return t.substr(0, t.find('?')) == "/";
  const auto scheme = t.find("://");
  if (scheme == std::string_view::npos || scheme == 0) return false;
  const std::string_view rest = t.substr(scheme + 3);
  const std::string_view before_query = rest.substr(0, rest.find('?'));
  const auto slash = before_query.find('/');
  return slash == std::string_view::npos || before_query.substr(slash) == "/";
}

std::optional<Rejection> expected_verdict(const Request& request, const Fields& fields) {
  const auto origin = first(fields, "Origin");
  bool origin_ok = false;
  for (const auto& allowed : ORIGINS) origin_ok = origin_ok || (origin && printable(*origin) && *origin == allowed);
  if (!origin_ok) return Rejection::OriginNotAllowed;

  const auto host = first(fields, "Host");
  const std::string port = std::to_string(PORT);
  if (!host || !printable(*host) || (*host != "127.0.0.1:" + port && *host != "localhost:" + port))
    return Rejection::HostNotAllowed;

  const std::string_view target(request.target().data(), request.target().size());
  if (!path_is_root(target)) return Rejection::NoSuchPath;
  if (target.find('?') != std::string_view::npos) return Rejection::TokenInQuery;

  const auto protocol = first(fields, "Sec-WebSocket-Protocol");
  if (!protocol) return Rejection::MissingToken;
  if (*protocol != TOKEN) return Rejection::BadToken;
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Token token = Token::from_digits(std::string(TOKEN));

  http::request_parser<http::empty_body> parser;
  parser.header_limit(REQUEST_HEAD_LIMIT);
  parser.eager(false);
  boost::system::error_code ec;
  const std::size_t used = parser.put(boost::asio::const_buffer(data, size), ec);
  if (ec || !parser.is_header_done()) return 0;
  const Request request = parser.release();
  const std::string_view head(reinterpret_cast<const char*>(data), used);
  const Fields fields = fields_as_sent(head);
  require_same_fields(fields, request);

  (void)is_opening_request(request);
  const auto verdict = check(ORIGINS, PORT, token, request, head);
  require(verdict == expected_verdict(request, fields));
  if (verdict) require(!body_of(*verdict).empty());
  return 0;
}
