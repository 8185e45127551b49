#include "decode_turns.hpp"

#include <string_view>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "quern_protocol/control.hpp"
#include "task.hpp"

namespace quernd::conn {

namespace msg = quern_protocol::message;

asio::awaitable<std::optional<msg::Message>> decode_in_turns(const quern_protocol::frame::Frame& frame) {
  const auto json = frame.json.span();
  if (json.size() <= DECODE_SLICE) co_return quern_protocol::control::message_of(frame);
  const std::string_view text(reinterpret_cast<const char*>(json.data()), json.size());
  msg::MessageDecoder decoder(text);
  while (!decoder.step(DECODE_SLICE)) {
    // Queued behind every task that is ready now, and behind the reactor's
    // next look at the sockets.
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
  }
  co_return decoder.message();
}

}  // namespace quernd::conn
