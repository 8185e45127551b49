// A blocking WebSocket client over TCP for tests, written by hand so that a
// test can forge anything a browser would never send: its own request head,
// unmasked or fragmented frames, text messages, stray bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/message.hpp"
#include "quern_protocol/packet.hpp"
#include "quern_testkit/client.hpp"

namespace quern_testkit {

namespace opcode {
inline constexpr std::uint8_t CONTINUATION = 0x0;
inline constexpr std::uint8_t TEXT = 0x1;
inline constexpr std::uint8_t BINARY = 0x2;
inline constexpr std::uint8_t CLOSE = 0x8;
inline constexpr std::uint8_t PING = 0x9;
inline constexpr std::uint8_t PONG = 0xA;
}  // namespace opcode

// One WebSocket frame as it came.
struct WsFrame {
  std::uint8_t opcode = 0;
  bool fin = true;
  std::string payload;

  // A close frame's code (none when it has no payload) and reason.
  std::optional<std::uint16_t> close_code() const;
  std::string close_reason() const;
};

// The head of an HTTP answer.
struct HttpHead {
  std::string text;  // every byte up to and including the empty line
  int status = 0;
  // The first field of that name, compared without regard to case.
  std::optional<std::string> field(std::string_view name) const;
};

class WsClient {
 public:
  using Timeout = std::chrono::milliseconds;
  static constexpr Timeout kDefaultTimeout{5000};

  // A TCP connection to 127.0.0.1 at `port`.
  static std::expected<WsClient, ClientError> connect(std::uint16_t port);

  // The fields a browser page at `origin` sends to open ws://127.0.0.1:port/
  // with `token` as its only subprotocol, each as "Name: value".
  static std::vector<std::string> browser_fields(std::uint16_t port, std::string_view origin,
                                                 std::string_view token);
  // "GET {target} HTTP/1.1", the fields, and the empty line.
  static std::string request(std::string_view target, const std::vector<std::string>& fields);

  explicit WsClient(int fd);
  WsClient(WsClient&& other) noexcept;
  WsClient& operator=(WsClient&& other) noexcept;
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;
  ~WsClient();

  // Sends the request and reads the answer's head. After a 101 the
  // connection speaks WebSocket; bytes after the head stay buffered.
  std::expected<HttpHead, ClientError> handshake(std::string_view request, Timeout timeout = kDefaultTimeout);
  // Opens the WebSocket as a browser page would; fails unless it gets 101.
  std::expected<HttpHead, ClientError> open(std::uint16_t port, std::string_view origin, std::string_view token,
                                            Timeout timeout = kDefaultTimeout);

  std::expected<void, ClientError> send_raw(std::string_view bytes, Timeout timeout = kDefaultTimeout);
  // One frame; a client's frames are masked unless a test says otherwise.
  std::expected<void, ClientError> send_frame(std::uint8_t op, std::string_view payload, bool masked = true,
                                              bool fin = true, Timeout timeout = kDefaultTimeout);
  // One binary message holding the protocol frame of the message.
  std::expected<void, ClientError> send(const quern_protocol::message::Message& m,
                                        quern_protocol::Bytes payload = {}, Timeout timeout = kDefaultTimeout);

  // The next frame of any kind.
  std::expected<WsFrame, ClientError> recv_frame(Timeout timeout = kDefaultTimeout);
  // The next protocol message: pings on the way are answered with pongs
  // (and counted); a close frame ends it with Closed, its code and reason
  // kept in `last_close`.
  std::expected<quern_protocol::packet::Packet, ClientError> recv(Timeout timeout = kDefaultTimeout);
  // Everything until the peer ends the connection (for refusals).
  std::expected<std::string, ClientError> read_to_end(Timeout timeout = kDefaultTimeout);

  // The last close frame `recv` met.
  std::optional<WsFrame> last_close;
  // Pings `recv` has answered.
  int pings_answered = 0;

  void shutdown_write();
  int fd() const { return fd_; }

 private:
  std::expected<void, ClientError> fill(std::size_t want, Timeout timeout);
  std::expected<void, ClientError> read_more(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string rx_;
};

}  // namespace quern_testkit
