// The benchmark's browser: a blocking WebSocket client of the daemon's data
// plane, one protocol frame per binary message, cheap enough per frame that
// the daemon stays the bottleneck.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "frame_io.hpp"

namespace quern_bench {

// What the endpoint file of a daemon's data plane says.
struct DataEndpoint {
  std::uint16_t port = 0;
  std::string token;
};

// Reads the endpoint file; throws std::runtime_error when it is not there
// or does not hold a port and a token.
DataEndpoint read_endpoint(const std::filesystem::path& file);

// A data-plane connection after its opening handshake, with a receive
// timeout. Pings are answered as they are met in recv; errors throw
// std::runtime_error.
class WsConn {
 public:
  static WsConn open(const DataEndpoint& endpoint, std::string_view origin);
  WsConn(WsConn&& o) noexcept;
  WsConn& operator=(WsConn&&) = delete;
  ~WsConn();

  // One binary message holding one frame.
  void send(std::string_view json, std::span<const std::uint8_t> payload = {});
  void send(const Message& m) { send(json_of(m)); }
  // The frame of the next binary message; it shares the receive buffer's
  // storage.
  Frame recv();
  // The next frame, which must hold a message of kind `tag`.
  Message expect(std::string_view tag);
  // Answers the pings that have arrived and drops every other message that
  // has, without waiting; how many binary messages it dropped.
  std::size_t drain();
  int fd() const { return fd_; }

 private:
  explicit WsConn(int fd);
  // A whole WebSocket frame from the buffer, if one is there: its opcode and
  // its payload, split off.
  bool next_frame(std::uint8_t& opcode, Bytes& payload);
  void write_frame(std::uint8_t opcode, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b = {},
                   std::span<const std::uint8_t> c = {});
  // Reads what the socket has; false when nothing came (only when not waiting).
  bool read_more(bool wait);

  int fd_;
  quern_protocol::BytesMut rx_{1 << 20};
};

}  // namespace quern_bench
