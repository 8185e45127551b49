// Admission of a browser connection: the checks of its opening request, in
// their order, and the answers to a refused one.
#include "upgrade.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
namespace dp = quernd::data_plane;
using dp::Rejection;

const std::string TOKEN = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

dp::Request request_with(std::string target, std::vector<std::pair<std::string, std::string>> fields) {
  dp::Request r{http::verb::get, target, 11};
  for (auto& [name, value] : fields) r.insert(name, value);
  return r;
}

struct CheckCase {
  const char* what;
  std::string target = "/";
  // Fields replaced (none removes the field; "+" before a name adds a
  // second field of that name).
  std::vector<std::pair<std::string, std::optional<std::string>>> changes;
  std::optional<Rejection> expected;
};

constexpr std::uint16_t PORT = 40123;

// Judges the request head that these fields make, as the daemon does: the
// head as received, with the parser's reading of it. A head the parser
// refuses (a control byte in a value) is judged with its target alone.
std::optional<Rejection> judged(std::span<const std::string> origins, const dp::Token& token,
                                const std::string& target,
                                const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string head = "GET " + target + " HTTP/1.1\r\n";
  for (const auto& [name, value] : fields) head += name + ": " + value + "\r\n";
  head += "\r\n";
  http::request_parser<http::empty_body> parser;
  boost::system::error_code ec;
  parser.put(asio::buffer(head), ec);
  const dp::Request request = ec ? request_with(target, {}) : parser.release();
  return dp::check(origins, PORT, token, request, head);
}

TEST(Check, RefusesInOrderWithTheFirstTestThatFails) {
  const std::vector<std::string> origins = {"http://localhost:5173", "https://app.example"};
  const auto token = dp::Token::from_digits(TOKEN);
  const std::string upper = [] {
    std::string t = TOKEN;
    std::ranges::transform(t, t.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    return t;
  }();
  const std::nullopt_t remove = std::nullopt;
  const CheckCase cases[] = {
      {"a browser's request", "/", {}, std::nullopt},
      {"the second allowed origin", "/", {{"Origin", "https://app.example"}}, std::nullopt},
      {"host by name", "/", {{"Host", "localhost:40123"}}, std::nullopt},
      {"no origin", "/", {{"Origin", remove}}, Rejection::OriginNotAllowed},
      {"wrong origin and no token: the order decides", "/",
       {{"Origin", "http://evil.example"}, {"Sec-WebSocket-Protocol", remove}}, Rejection::OriginNotAllowed},
      {"origin in another case", "/", {{"Origin", "http://LOCALHOST:5173"}}, Rejection::OriginNotAllowed},
      {"origin with a trailing slash", "/", {{"Origin", "http://localhost:5173/"}}, Rejection::OriginNotAllowed},
      {"origin with a space inside", "/", {{"Origin", "http://localhost :5173"}}, Rejection::OriginNotAllowed},
      {"a prefix of an origin", "/", {{"Origin", "http://localhost:517"}}, Rejection::OriginNotAllowed},
      {"an origin that extends one", "/", {{"Origin", "http://localhost:51730"}}, Rejection::OriginNotAllowed},
      {"a non-ASCII origin", "/", {{"Origin", "http://l\xc3\xb6" "calhost:5173"}}, Rejection::OriginNotAllowed},
      {"an origin with a control byte", "/", {{"Origin", "http://localhost:5173\x01"}}, Rejection::OriginNotAllowed},
      {"the first of two origins decides", "/", {{"+Origin", "http://evil.example"}}, std::nullopt},
      {"origin with a trailing space", "/", {{"Origin", "http://localhost:5173 "}}, Rejection::OriginNotAllowed},
      {"origin with a trailing tab", "/", {{"Origin", "http://localhost:5173\t"}}, Rejection::OriginNotAllowed},
      {"origin folded onto the next line", "/", {{"Origin", "\r\n http://localhost:5173"}},
       Rejection::OriginNotAllowed},
      {"white space before the origin is no part of it", "/", {{"Origin", " \thttp://localhost:5173"}}, std::nullopt},
      {"origin named in another case", "/", {{"Origin", remove}, {"+oRIGIN", "http://localhost:5173"}}, std::nullopt},
      {"no host", "/", {{"Host", remove}}, Rejection::HostNotAllowed},
      {"host without port", "/", {{"Host", "127.0.0.1"}}, Rejection::HostNotAllowed},
      {"host with another port", "/", {{"Host", "127.0.0.1:40124"}}, Rejection::HostNotAllowed},
      {"host with a leading zero in the port", "/", {{"Host", "127.0.0.1:040123"}}, Rejection::HostNotAllowed},
      {"another host name", "/", {{"Host", "example.com:40123"}}, Rejection::HostNotAllowed},
      {"host name in upper case", "/", {{"Host", "LOCALHOST:40123"}}, Rejection::HostNotAllowed},
      {"IPv6 loopback", "/", {{"Host", "[::1]:40123"}}, Rejection::HostNotAllowed},
      {"a non-ASCII host", "/", {{"Host", "l\xc3\xb6" "calhost:40123"}}, Rejection::HostNotAllowed},
      {"host with a trailing space", "/", {{"Host", "127.0.0.1:40123 "}}, Rejection::HostNotAllowed},
      {"host with a trailing tab", "/", {{"Host", "localhost:40123\t"}}, Rejection::HostNotAllowed},
      {"host folded onto the next line", "/", {{"Host", "\r\n\t127.0.0.1:40123"}}, Rejection::HostNotAllowed},
      {"a path below /", "/ws", {}, Rejection::NoSuchPath},
      {"a path below / with the token in the query", "/ws?t=1", {}, Rejection::NoSuchPath},
      {"//", "//", {}, Rejection::NoSuchPath},
      {"asterisk form", "*", {}, Rejection::NoSuchPath},
      {"authority form", "127.0.0.1:40123", {}, Rejection::NoSuchPath},
      {"absolute form with an empty path", "http://127.0.0.1:40123", {}, std::nullopt},
      {"absolute form with /", "http://127.0.0.1:40123/", {}, std::nullopt},
      {"absolute form with a path", "http://127.0.0.1:40123/x", {}, Rejection::NoSuchPath},
      {"absolute form with a query", "http://127.0.0.1:40123?x", {}, Rejection::TokenInQuery},
      {"the token in the query", "/?token=" + TOKEN, {}, Rejection::TokenInQuery},
      {"an empty query", "/?", {}, Rejection::TokenInQuery},
      {"no protocol header", "/", {{"Sec-WebSocket-Protocol", remove}}, Rejection::MissingToken},
      {"an empty protocol header", "/", {{"Sec-WebSocket-Protocol", ""}}, Rejection::BadToken},
      {"token, then a second protocol", "/", {{"Sec-WebSocket-Protocol", TOKEN + ", chat"}}, Rejection::BadToken},
      {"token in upper case", "/", {{"Sec-WebSocket-Protocol", upper}}, Rejection::BadToken},
      {"63 digits", "/", {{"Sec-WebSocket-Protocol", TOKEN.substr(1)}}, Rejection::BadToken},
      {"65 digits", "/", {{"Sec-WebSocket-Protocol", TOKEN + "0"}}, Rejection::BadToken},
      {"the token split by a space", "/", {{"Sec-WebSocket-Protocol", TOKEN.substr(0, 32) + " " + TOKEN.substr(32)}},
       Rejection::BadToken},
      {"the first of two protocol headers decides", "/", {{"+Sec-WebSocket-Protocol", "chat"}}, std::nullopt},
      {"token with a trailing space", "/", {{"Sec-WebSocket-Protocol", TOKEN + " "}}, Rejection::BadToken},
      {"token with a trailing tab", "/", {{"Sec-WebSocket-Protocol", TOKEN + "\t"}}, Rejection::BadToken},
      {"token folded onto the next line", "/", {{"Sec-WebSocket-Protocol", "\r\n " + TOKEN}}, Rejection::BadToken},
      {"white space before the token is no part of it", "/", {{"Sec-WebSocket-Protocol", "\t " + TOKEN}},
       std::nullopt},
      {"a wrong first protocol header", "/",
       {{"Sec-WebSocket-Protocol", "chat"}, {"+Sec-WebSocket-Protocol", TOKEN}}, Rejection::BadToken},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::pair<std::string, std::string>> fields = {
        {"Host", "127.0.0.1:40123"},
        {"Origin", "http://localhost:5173"},
        {"Sec-WebSocket-Protocol", TOKEN},
    };
    for (const auto& [name, value] : c.changes) {
      if (name.starts_with('+')) {
        fields.emplace_back(name.substr(1), *value);
        continue;
      }
      auto it = std::ranges::find_if(fields, [&](const auto& f) { return f.first == name; });
      if (value) {
        it->second = *value;
      } else {
        fields.erase(it);
      }
    }
    EXPECT_EQ(judged(origins, token, c.target, fields), c.expected);
  }
}

TEST(Check, WithNoAllowedOriginRefusesEveryRequest) {
  const auto token = dp::Token::from_digits(TOKEN);
  EXPECT_EQ(judged({}, token, "/",
                   {{"Host", "127.0.0.1:40123"}, {"Origin", "http://localhost:5173"}, {"Sec-WebSocket-Protocol", TOKEN}}),
            Rejection::OriginNotAllowed);
  EXPECT_EQ(judged({}, token, "/", {{"Host", "127.0.0.1:40123"}}), Rejection::OriginNotAllowed);
}

TEST(Check, EachRefusalHasItsStatusAndText) {
  const std::tuple<Rejection, http::status, std::string_view> answers[] = {
      {Rejection::OriginNotAllowed, http::status::forbidden, "origin not allowed"},
      {Rejection::HostNotAllowed, http::status::bad_request, "host not allowed"},
      {Rejection::NoSuchPath, http::status::not_found, "no such path"},
      {Rejection::TokenInQuery, http::status::bad_request, "token in query string"},
      {Rejection::MissingToken, http::status::unauthorized, "missing token"},
      {Rejection::BadToken, http::status::unauthorized, "bad token"},
  };
  for (const auto& [r, status, body] : answers) {
    EXPECT_EQ(dp::status_of(r), status);
    EXPECT_EQ(dp::body_of(r), body);
  }
}

TEST(Check, AReadableValueIsTabsAndPrintableAscii) {
  EXPECT_TRUE(dp::readable("http://a.example:80/\tx ~"));
  EXPECT_TRUE(dp::readable(""));
  for (char bad : {'\x00', '\x1f', '\x7f', '\x80', '\xff', '\r', '\n'}) {
    EXPECT_FALSE(dp::readable(std::string("a") + bad)) << static_cast<int>(static_cast<unsigned char>(bad));
  }
}

TEST(OpeningRequest, NeedsGetHttp11UpgradeWebsocketVersion13AndAKey) {
  const std::vector<std::pair<std::string, std::string>> good = {
      {"Host", "127.0.0.1:1"},
      {"Connection", "keep-alive, Upgrade"},
      {"Upgrade", "WebSocket"},
      {"Sec-WebSocket-Version", "13"},
      {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
  };
  EXPECT_TRUE(dp::is_opening_request(request_with("/", good)));
  auto without = [&](const std::string& name, std::optional<std::string> replacement = std::nullopt) {
    auto fields = good;
    auto it = std::ranges::find_if(fields, [&](const auto& f) { return f.first == name; });
    if (replacement) {
      it->second = *replacement;
    } else {
      fields.erase(it);
    }
    return request_with("/", fields);
  };
  EXPECT_FALSE(dp::is_opening_request(without("Connection")));
  EXPECT_FALSE(dp::is_opening_request(without("Connection", "keep-alive")));
  EXPECT_FALSE(dp::is_opening_request(without("Upgrade")));
  EXPECT_FALSE(dp::is_opening_request(without("Upgrade", "h2c")));
  EXPECT_FALSE(dp::is_opening_request(without("Upgrade", "websocket, h2c")));
  EXPECT_FALSE(dp::is_opening_request(without("Sec-WebSocket-Version")));
  EXPECT_FALSE(dp::is_opening_request(without("Sec-WebSocket-Version", "8")));
  EXPECT_FALSE(dp::is_opening_request(without("Sec-WebSocket-Key")));
  EXPECT_FALSE(dp::is_opening_request(without("Sec-WebSocket-Key", "")));
  EXPECT_FALSE(dp::is_opening_request(without("Sec-WebSocket-Key", std::string(25, 'k'))));
  auto post = request_with("/", good);
  post.method(http::verb::post);
  EXPECT_FALSE(dp::is_opening_request(post));
  auto old = request_with("/", good);
  old.version(10);
  EXPECT_FALSE(dp::is_opening_request(old));
}

}  // namespace
