#include "transport.hpp"

#include "await.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

namespace quernd::transport {

namespace wire = quern_session::wire;

asio::awaitable<std::optional<Frame>> UnixReader::next() {
  // Every error ends the incoming side the same way as the end of the stream.
  auto frame = co_await reader_.next_frame();
  if (!frame || !*frame) co_return std::nullopt;
  co_return std::move(**frame);
}

asio::awaitable<bool> UnixWriter::write(EncodedFrame frame) {
  co_return (co_await wire::write_frame(half_, std::move(frame))).has_value();
}

asio::awaitable<bool> UnixWriter::write_batch(std::span<const EncodedFrame> frames) {
  co_return (co_await wire::write_frames(half_, frames)).has_value();
}

asio::awaitable<bool> UnixWriter::keepalive() {
  co_await wait_forever();
  co_return true;
}

asio::awaitable<void> UnixWriter::overflow() && {
  wire::WriteHalf dropped = std::move(half_);
  co_return;
}

asio::awaitable<void> UnixWriter::finish() && {
  wire::WriteHalf dropped = std::move(half_);
  co_return;
}

std::pair<UnixReader, UnixWriter> UnixStream::split() && {
  auto [read_half, write_half] = wire::split(std::move(socket_));
  return {UnixReader(wire::Reader(std::move(read_half), wire::FIRST_BUFFER)),
          UnixWriter(std::move(write_half))};
}

}  // namespace quernd::transport
