// Frame I/O shared by the benchmark's fake shim and its clients: the output
// frames of a stream, a queue of buffers written without blocking, and a
// blocking frame connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include <sys/uio.h>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"

namespace quern_bench {

using quern_protocol::Bytes;
using quern_protocol::frame::Frame;
using quern_protocol::message::Message;

// The compact JSON text of a message (keys sorted).
std::string json_of(const Message& m);

// The header and JSON text of one frame carrying `payload_len` bytes after them.
Bytes frame_head(std::string_view json, std::size_t payload_len);

// Buffers waiting to go out on a non-blocking socket, in order.
class Outgoing {
 public:
  void push(Bytes b);
  bool empty() const { return parts_.empty(); }
  std::size_t bytes() const { return bytes_; }
  // Writes what the socket takes now. False on a write error other than
  // EAGAIN (the peer has gone).
  bool write_some(int fd);

 private:
  std::deque<Bytes> parts_;  // the first may be partly written already
  std::size_t bytes_ = 0;
};

// The `output` frames of one session, numbered from sequence 0. Frames with
// small payloads are packed into one buffer per batch; large payloads are
// queued as they are, behind their heads.
class OutputFrames {
 public:
  OutputFrames(const std::string& id, Bytes payload);
  // Queues the next `count` frames.
  void fill(Outgoing& out, std::size_t count);
  // Queues one frame with the given payload.
  void push(Outgoing& out, Bytes payload);

 private:
  std::string json(std::uint64_t sequence) const;
  std::string prefix_;  // {"epoch":0,"id":...,"sequence":
  Bytes payload_;
  std::uint64_t next_ = 0;
};

// A blocking frame connection over a unix stream socket, with a receive
// timeout. Errors throw std::runtime_error.
class Conn {
 public:
  explicit Conn(int fd);
  static Conn connect(const std::filesystem::path& path);
  Conn(Conn&& o) noexcept;
  Conn& operator=(Conn&&) = delete;
  ~Conn();

  void send(std::string_view json, std::span<const std::uint8_t> payload = {});
  void send(const Message& m) { send(json_of(m)); }
  // The next frame; it shares the receive buffer's storage.
  Frame recv();
  // The next frame, which must hold a message of kind `tag`.
  Message expect(std::string_view tag);
  // Drops every frame that has arrived, without waiting; how many.
  std::size_t drain();
  int fd() const { return fd_; }

 private:
  int fd_;
  quern_protocol::BytesMut rx_{1 << 20};
};

// The message of a frame, which must be of kind `tag`; throws otherwise.
Message message_of_kind(const Frame& f, std::string_view tag);

// Whether the JSON text of a frame is an `output` message; a cheap look for
// the stream readers, which do not decode every frame.
bool is_output(const Frame& f);

// Throws std::runtime_error with `what` and the system's text for `err`.
[[noreturn]] void fail(const std::string& what, int err);
// Writes `v` big-endian into the four bytes at `p`.
void put_be32(std::uint8_t* p, std::uint32_t v);

// Writes the `n` buffers from `at` in order, blocking; moves `at` past
// what went. Throws on an error of the socket.
void write_all(int fd, iovec* at, int n);

// Connects to a unix socket; -1 with errno set on failure.
int connect_unix(const std::filesystem::path& path);

}  // namespace quern_bench
