// The seam between connection handling and the kind of client. A client
// connection is a Transport, split into a FrameReader that stays with the
// connection task and a FrameWriter that moves to the writer task. The
// interfaces are resolved at build time; this file also holds their
// implementation for a local client on a unix-domain stream.
#pragma once

#include <concepts>
#include <expected>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>

#include "quern_protocol/frame.hpp"
#include "quern_session/os_error.hpp"
#include "quern_session/wire.hpp"

namespace quernd::transport {

namespace asio = boost::asio;
using quern_protocol::frame::EncodedFrame;
using quern_protocol::frame::Frame;

// The reading half: `next` gives the next whole frame, or none once the
// connection's incoming side has ended (end of stream, read error, malformed
// frame alike).
template <class R>
concept FrameReader = requires(R& reader) {
  { reader.next() } -> std::same_as<asio::awaitable<std::optional<Frame>>>;
};

// The writing half, used by the writer task alone.
// - `write`: true when the whole frame was handed to the system.
// - `keepalive`: completes when a keepalive was due and sent (true) or
//   sending it failed (false). The writer task races it against the queue and
//   may abandon it while it waits for its moment; once it has begun sending
//   it must finish, abandoned or not, so that the stream is never left
//   half-written.
// - `overflow`, `finish`: the writer's two ways out; both consume it.
// - `sends_keepalives`: false when `keepalive` never completes, which lets
//   the writer task skip the race altogether.
template <class W>
concept FrameWriter = std::move_constructible<W> && requires(W& writer, EncodedFrame frame) {
  { writer.write(std::move(frame)) } -> std::same_as<asio::awaitable<bool>>;
  { writer.keepalive() } -> std::same_as<asio::awaitable<bool>>;
  { std::move(writer).overflow() } -> std::same_as<asio::awaitable<void>>;
  { std::move(writer).finish() } -> std::same_as<asio::awaitable<void>>;
  typename std::bool_constant<W::sends_keepalives>;
};

// An accepted client connection. Besides its two halves, the type fixes the
// two things that differ between kinds of client: whether its outbound queue
// is lossy, and whether the data-plane restrictions apply.
template <class T>
concept Transport = std::move_constructible<T> && requires(T transport) {
  typename T::Reader;
  typename T::Writer;
  requires FrameReader<typename T::Reader>;
  requires FrameWriter<typename T::Writer>;
  { std::move(transport).split() } -> std::same_as<std::pair<typename T::Reader, typename T::Writer>>;
  typename std::bool_constant<T::lossy_queue>;
  typename std::bool_constant<T::on_data_plane>;
};

// How much a writer takes from its queue or channel for one gathered write:
// every frame that is ready, up to these.
inline constexpr std::size_t WRITE_BATCH_FRAMES = 512;
inline constexpr std::size_t WRITE_BATCH_BYTES = 1 << 20;

// A local client's reading half: the buffered frame reader over the stream's
// read half, with its first buffer of quern_session::wire::FIRST_BUFFER.
class UnixReader {
 public:
  explicit UnixReader(quern_session::wire::Reader reader) : reader_(std::move(reader)) {}

  asio::awaitable<std::optional<Frame>> next();
  // Whether more frames are at hand, buffered or most likely in the socket.
  bool has_more() const { return reader_.has_more(); }

 private:
  quern_session::wire::Reader reader_;
};

// A local client's writing half: the stream's write half itself. Dropping it
// shuts down the sending direction.
class UnixWriter {
 public:
  static constexpr bool sends_keepalives = false;

  explicit UnixWriter(quern_session::wire::WriteHalf half) : half_(std::move(half)) {}

  asio::awaitable<bool> write(EncodedFrame frame);
  // Several frames in one gathered write.
  asio::awaitable<bool> write_batch(std::span<const EncodedFrame> frames);
  // A unix stream needs no keepalive: this never completes.
  asio::awaitable<bool> keepalive();
  asio::awaitable<void> overflow() &&;
  asio::awaitable<void> finish() &&;

 private:
  quern_session::wire::WriteHalf half_;
};

// A local client accepted on the daemon socket.
class UnixStream {
 public:
  using Reader = UnixReader;
  using Writer = UnixWriter;
  static constexpr bool lossy_queue = false;
  static constexpr bool on_data_plane = false;

  explicit UnixStream(quern_session::wire::Socket socket) : socket_(std::move(socket)) {}

  std::pair<UnixReader, UnixWriter> split() &&;

 private:
  quern_session::wire::Socket socket_;
};

static_assert(Transport<UnixStream>);

}  // namespace quernd::transport
