#include "ws_conn.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "quern_testkit/ws_client.hpp"

namespace quern_bench {
namespace {

namespace op = quern_testkit::opcode;


}  // namespace

DataEndpoint read_endpoint(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  boost::system::error_code ec;
  boost::json::value v = boost::json::parse(text, ec);
  const auto* o = ec ? nullptr : v.if_object();
  const auto* port = o ? o->if_contains("port") : nullptr;
  const auto* token = o ? o->if_contains("token") : nullptr;
  if (!port || !port->is_int64() || !token || !token->is_string()) {
    throw std::runtime_error("no port and token in " + file.native());
  }
  return {static_cast<std::uint16_t>(port->as_int64()), std::string(token->as_string())};
}

WsConn::WsConn(int fd) : fd_(fd) {
  timeval limit{.tv_sec = 10, .tv_usec = 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

WsConn::WsConn(WsConn&& o) noexcept : fd_(std::exchange(o.fd_, -1)), rx_(std::move(o.rx_)) {}

WsConn::~WsConn() {
  if (fd_ >= 0) ::close(fd_);
}

WsConn WsConn::open(const DataEndpoint& endpoint, std::string_view origin) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket", errno);
  WsConn c(fd);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(endpoint.port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) fail("connect", errno);
  std::string request = quern_testkit::WsClient::request(
      "/", quern_testkit::WsClient::browser_fields(endpoint.port, origin, endpoint.token));
  iovec iov{request.data(), request.size()};
  write_all(fd, &iov, 1);
  for (;;) {
    std::string_view seen(reinterpret_cast<const char*>(c.rx_.data()), c.rx_.size());
    if (auto end = seen.find("\r\n\r\n"); end != std::string_view::npos) {
      if (!seen.starts_with("HTTP/1.1 101 ")) {
        throw std::runtime_error("the data plane refused: " + std::string(seen.substr(0, seen.find("\r\n"))));
      }
      c.rx_.advance(end + 4);
      return c;
    }
    c.read_more(true);
  }
}

bool WsConn::read_more(bool wait) {
  for (;;) {
    rx_.reserve(64 * 1024);
    auto space = rx_.free_space();
    ssize_t r = ::recv(fd_, space.data(), space.size(), wait ? 0 : MSG_DONTWAIT);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait) return false;
      throw std::runtime_error("nothing from the data plane within 10 s");
    }
    if (r < 0) fail("recv", errno);
    if (r == 0) throw std::runtime_error("the daemon closed the WebSocket");
    rx_.commit(static_cast<std::size_t>(r));
    return true;
  }
}

// The client's frames carry the mask key 0, which leaves the bytes as they
// are: the receiver cannot tell it from any other key, and the benchmark's
// client copies nothing.
void WsConn::write_frame(std::uint8_t opcode, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                         std::span<const std::uint8_t> c) {
  const std::uint64_t n = a.size() + b.size() + c.size();
  std::uint8_t head[14];
  std::size_t len = 0;
  head[len++] = static_cast<std::uint8_t>(0x80 | opcode);
  if (n < 126) {
    head[len++] = static_cast<std::uint8_t>(0x80 | n);
  } else if (n <= 0xffff) {
    head[len++] = 0x80 | 126;
    head[len++] = static_cast<std::uint8_t>(n >> 8);
    head[len++] = static_cast<std::uint8_t>(n);
  } else {
    head[len++] = 0x80 | 127;
    for (int shift = 56; shift >= 0; shift -= 8) head[len++] = static_cast<std::uint8_t>(n >> shift);
  }
  for (int i = 0; i < 4; ++i) head[len++] = 0;
  iovec iov[4] = {{head, len},
                  {const_cast<std::uint8_t*>(a.data()), a.size()},
                  {const_cast<std::uint8_t*>(b.data()), b.size()},
                  {const_cast<std::uint8_t*>(c.data()), c.size()}};
  write_all(fd_, iov, 4);
}

void WsConn::send(std::string_view json, std::span<const std::uint8_t> payload) {
  std::uint8_t head[8];
  put_be32(head, static_cast<std::uint32_t>(4 + json.size() + payload.size()));
  put_be32(head + 4, static_cast<std::uint32_t>(json.size()));
  write_frame(op::BINARY, head, {reinterpret_cast<const std::uint8_t*>(json.data()), json.size()}, payload);
}

bool WsConn::next_frame(std::uint8_t& opcode, Bytes& payload) {
  const std::uint8_t* p = rx_.data();
  const std::size_t have = rx_.size();
  if (have < 2) return false;
  std::size_t header = 2;
  std::uint64_t n = p[1] & 0x7f;
  if (n == 126) header = 4;
  if (n == 127) header = 10;
  if ((p[1] & 0x80) != 0) throw std::runtime_error("the daemon sent a masked frame");
  if (have < header) return false;
  if (n >= 126) {
    n = 0;
    for (std::size_t i = 2; i < header; ++i) n = (n << 8) | p[i];
  }
  if (have - header < n) {
    rx_.reserve(header + n - have);
    return false;
  }
  if ((p[0] & 0x80) == 0) throw std::runtime_error("the daemon sent a fragmented message");
  opcode = p[0] & 0x0f;
  rx_.advance(header);
  payload = rx_.split_to(n);
  return true;
}

Frame WsConn::recv() {
  for (;;) {
    std::uint8_t opcode = 0;
    Bytes payload;
    while (!next_frame(opcode, payload)) read_more(true);
    if (opcode == op::PING) {
      write_frame(op::PONG, payload.span());
      continue;
    }
    if (opcode == op::CLOSE) throw std::runtime_error("the daemon closed the WebSocket");
    if (opcode != op::BINARY) continue;
    auto decoded = quern_protocol::frame::decode_frame_bytes(payload);
    if (!decoded) throw std::runtime_error("bad frame: " + decoded.error().what());
    if (!*decoded || !payload.empty()) throw std::runtime_error("a message that is not one frame");
    return std::move(**decoded);
  }
}

Message WsConn::expect(std::string_view tag) { return message_of_kind(recv(), tag); }

std::size_t WsConn::drain() {
  std::size_t dropped = 0;
  for (;;) {
    std::uint8_t opcode = 0;
    Bytes payload;
    while (!next_frame(opcode, payload)) {
      if (!read_more(false)) return dropped;
    }
    if (opcode == op::BINARY) ++dropped;
    if (opcode == op::PING) write_frame(op::PONG, payload.span());
    if (opcode == op::CLOSE) throw std::runtime_error("the daemon closed the WebSocket");
  }
}

}  // namespace quern_bench
