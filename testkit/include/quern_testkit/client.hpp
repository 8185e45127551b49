// A blocking frame client over a unix-domain socket, for tests and benchmarks:
// connect, send messages with payloads, receive packets with a deadline.
#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/message.hpp"
#include "quern_protocol/packet.hpp"

namespace quern_testkit {

struct ClientError {
  enum class Kind {
    Timeout,     // nothing whole arrived (or could be sent) in time
    Closed,      // the peer closed the stream (possibly inside a frame)
    BadFrame,    // a malformed frame header
    BadMessage,  // a frame whose JSON is not a message
    Io,          // any other system error
  };
  Kind kind;
  std::string text;
  int err = 0;  // the system's error number, for Io
};

class Client {
 public:
  using Timeout = std::chrono::milliseconds;
  static constexpr Timeout kDefaultTimeout{2000};

  static std::expected<Client, ClientError> connect(const std::filesystem::path& path);
  // Takes over a connected stream socket.
  explicit Client(int fd);
  Client(Client&& other) noexcept;
  Client& operator=(Client&& other) noexcept;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client();

  // Sends one frame holding the message's compact JSON and the payload.
  std::expected<void, ClientError> send(const quern_protocol::message::Message& m,
                                        quern_protocol::Bytes payload = {}, Timeout timeout = kDefaultTimeout);
  // Sends raw bytes, such as a malformed frame.
  std::expected<void, ClientError> send_bytes(std::span<const std::uint8_t> bytes,
                                              Timeout timeout = kDefaultTimeout);
  // The next frame, decoded; bytes after it stay buffered for the next call.
  std::expected<quern_protocol::packet::Packet, ClientError> recv(Timeout timeout = kDefaultTimeout);
  // For callers that poll fd() themselves: the next frame once it is whole,
  // after at most one read that does not wait; none while more bytes are due.
  std::expected<std::optional<quern_protocol::packet::Packet>, ClientError> try_recv();

  // Sends nothing more; the peer reads end of file.
  void shutdown_write();
  int fd() const { return fd_; }

 private:
  // Cuts the next whole frame from the receive buffer, if there is one.
  std::expected<std::optional<quern_protocol::packet::Packet>, ClientError> take_buffered();
  // One read without waiting; false when nothing was ready.
  std::expected<bool, ClientError> read_some();

  int fd_ = -1;
  quern_protocol::BytesMut rx_{65536};
};

}  // namespace quern_testkit
