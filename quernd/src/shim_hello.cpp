#include "shim_hello.hpp"

#include <utility>
#include <vector>

#include "quern_protocol/control.hpp"
#include "quern_protocol/message.hpp"
#include "quern_protocol/version.hpp"

namespace quernd::wire {

namespace asio = boost::asio;
namespace msg = quern_protocol::message;
using quern_session::OsError;

asio::awaitable<std::expected<Connection, WireError>> hello(Socket stream, Duration reply_limit) {
  auto [read_half, write_half] = quern_session::wire::split(std::move(stream));
  const auto& supported = quern_protocol::version::SUPPORTED_VERSIONS;
  msg::Hello offer{std::vector<std::uint32_t>(supported.begin(), supported.end())};
  if (auto sent = co_await write_frame(write_half, quern_protocol::control::encode(std::move(offer))); !sent)
    co_return std::unexpected(WireError{WireError::Io{std::move(sent.error())}});

  Reader reader(std::move(read_half), quern_session::wire::FIRST_BUFFER);
  auto reply = co_await reader.expect(reply_limit);
  if (!reply) co_return std::unexpected(std::move(reply.error()));
  if (!reply->message.is<msg::Welcome>())
    co_return std::unexpected(
        WireError{WireError::Unexpected{std::move(reply->message), "Welcome"}});
  co_return Connection{std::move(reader), std::move(write_half)};
}

}  // namespace quernd::wire
