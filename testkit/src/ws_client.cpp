#include "quern_testkit/ws_client.hpp"

#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "quern_protocol/frame.hpp"
#include "wait.hpp"

namespace quern_testkit {

namespace {

using detail::Clock;
using detail::os_error;
using detail::wait_for;
namespace msg = quern_protocol::message;

ClientError closed(std::string text) { return {ClientError::Kind::Closed, std::move(text)}; }

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::optional<std::uint16_t> WsFrame::close_code() const {
  if (payload.size() < 2) return std::nullopt;
  return static_cast<std::uint16_t>((static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]));
}

std::string WsFrame::close_reason() const { return payload.size() > 2 ? payload.substr(2) : std::string(); }

std::optional<std::string> HttpHead::field(std::string_view name) const {
  std::string_view rest = text;
  // Skip the status line.
  auto eol = rest.find("\r\n");
  if (eol == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(eol + 2);
  while (!rest.empty()) {
    eol = rest.find("\r\n");
    if (eol == std::string_view::npos || eol == 0) break;
    std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(eol + 2);
    auto colon = line.find(':');
    if (colon == std::string_view::npos || !iequal(line.substr(0, colon), name)) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return std::string(value);
  }
  return std::nullopt;
}

std::expected<WsClient, ClientError> WsClient::connect(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(os_error(errno));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    ::close(fd);
    return std::unexpected(os_error(err));
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return WsClient(fd);
}

std::vector<std::string> WsClient::browser_fields(std::uint16_t port, std::string_view origin,
                                                  std::string_view token) {
  return {
      "Host: 127.0.0.1:" + std::to_string(port),
      "Connection: Upgrade",
      "Upgrade: websocket",
      "Origin: " + std::string(origin),
      "Sec-WebSocket-Version: 13",
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
      "Sec-WebSocket-Protocol: " + std::string(token),
  };
}

std::string WsClient::request(std::string_view target, const std::vector<std::string>& fields) {
  std::string text = "GET " + std::string(target) + " HTTP/1.1\r\n";
  for (const auto& f : fields) text += f + "\r\n";
  return text + "\r\n";
}

WsClient::WsClient(int fd) : fd_(fd) {}

WsClient::WsClient(WsClient&& other) noexcept
    : last_close(std::move(other.last_close)),
      pings_answered(other.pings_answered),
      fd_(std::exchange(other.fd_, -1)),
      rx_(std::move(other.rx_)) {}

WsClient& WsClient::operator=(WsClient&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    rx_ = std::move(other.rx_);
    last_close = std::move(other.last_close);
    pings_answered = other.pings_answered;
  }
  return *this;
}

WsClient::~WsClient() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, ClientError> WsClient::read_more(Clock::time_point deadline) {
  if (auto ready = wait_for(fd_, POLLIN, deadline); !ready) return ready;
  char buf[65536];
  ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return {};
    if (errno == ECONNRESET) return std::unexpected(closed("peer reset the stream"));
    return std::unexpected(os_error(errno));
  }
  if (n == 0) return std::unexpected(closed(rx_.empty() ? "peer closed the stream" : "peer closed the stream mid-frame"));
  rx_.append(buf, static_cast<std::size_t>(n));
  return {};
}

std::expected<void, ClientError> WsClient::fill(std::size_t want, Timeout timeout) {
  auto deadline = Clock::now() + timeout;
  while (rx_.size() < want) {
    if (auto more = read_more(deadline); !more) return more;
  }
  return {};
}

std::expected<HttpHead, ClientError> WsClient::handshake(std::string_view request, Timeout timeout) {
  auto deadline = Clock::now() + timeout;
  if (auto sent = send_raw(request, timeout); !sent) return std::unexpected(sent.error());
  std::size_t end;
  while ((end = rx_.find("\r\n\r\n")) == std::string::npos) {
    if (auto more = read_more(deadline); !more) return std::unexpected(more.error());
  }
  HttpHead head;
  head.text = rx_.substr(0, end + 4);
  rx_.erase(0, end + 4);
  // "HTTP/1.1 101 Switching Protocols"
  auto space = head.text.find(' ');
  if (space != std::string::npos) head.status = std::atoi(head.text.c_str() + space + 1);
  return head;
}

std::expected<HttpHead, ClientError> WsClient::open(std::uint16_t port, std::string_view origin,
                                                    std::string_view token, Timeout timeout) {
  auto head = handshake(request("/", browser_fields(port, origin, token)), timeout);
  if (head && head->status != 101)
    return std::unexpected(ClientError{ClientError::Kind::BadFrame, "refused: " + head->text});
  return head;
}

std::expected<void, ClientError> WsClient::send_raw(std::string_view bytes, Timeout timeout) {
  return detail::send_all(fd_, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                          Clock::now() + timeout);
}

std::expected<void, ClientError> WsClient::send_frame(std::uint8_t op, std::string_view payload, bool masked,
                                                      bool fin, Timeout timeout) {
  std::string out;
  out.reserve(payload.size() + 14);
  out.push_back(static_cast<char>((fin ? 0x80 : 0) | (op & 0x0f)));
  const std::uint8_t mask_bit = masked ? 0x80 : 0;
  const std::uint64_t n = payload.size();
  if (n < 126) {
    out.push_back(static_cast<char>(mask_bit | n));
  } else if (n <= 0xffff) {
    out.push_back(static_cast<char>(mask_bit | 126));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n & 0xff));
  } else {
    out.push_back(static_cast<char>(mask_bit | 127));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((n >> shift) & 0xff));
  }
  if (masked) {
    static std::mt19937 rng{std::random_device{}()};
    const std::uint32_t key = rng();
    char k[4] = {static_cast<char>(key >> 24), static_cast<char>(key >> 16), static_cast<char>(key >> 8),
                 static_cast<char>(key)};
    out.append(k, 4);
    const std::size_t start = out.size();
    out.append(payload);
    for (std::size_t i = 0; i < payload.size(); ++i) out[start + i] = static_cast<char>(out[start + i] ^ k[i % 4]);
  } else {
    out.append(payload);
  }
  return send_raw(out, timeout);
}

std::expected<void, ClientError> WsClient::send(const msg::Message& m, quern_protocol::Bytes payload,
                                                Timeout timeout) {
  auto frame = quern_protocol::packet::Packet{m, std::move(payload)}.encode_parts();
  if (!frame) return std::unexpected(ClientError{ClientError::Kind::BadFrame, frame.error().what()});
  return send_frame(opcode::BINARY, frame->to_bytes().view(), true, true, timeout);
}

std::expected<WsFrame, ClientError> WsClient::recv_frame(Timeout timeout) {
  auto deadline = Clock::now() + timeout;
  auto left = [&] { return std::max(std::chrono::duration_cast<Timeout>(deadline - Clock::now()), Timeout(1)); };
  if (auto got = fill(2, left()); !got) return std::unexpected(got.error());
  const auto b0 = static_cast<unsigned char>(rx_[0]);
  const auto b1 = static_cast<unsigned char>(rx_[1]);
  std::size_t header = 2;
  std::uint64_t n = b1 & 0x7f;
  if (n == 126) header += 2;
  if (n == 127) header += 8;
  const bool masked = (b1 & 0x80) != 0;
  if (masked) header += 4;
  if (auto got = fill(header, left()); !got) return std::unexpected(got.error());
  if (n >= 126) {
    n = 0;
    for (std::size_t i = 2; i < (header - (masked ? 4 : 0)); ++i) n = (n << 8) | static_cast<unsigned char>(rx_[i]);
  }
  if (auto got = fill(header + n, left()); !got) return std::unexpected(got.error());
  WsFrame frame;
  frame.fin = (b0 & 0x80) != 0;
  frame.opcode = b0 & 0x0f;
  frame.payload = rx_.substr(header, n);
  if (masked) {
    const std::string key = rx_.substr(header - 4, 4);
    for (std::size_t i = 0; i < frame.payload.size(); ++i) frame.payload[i] = static_cast<char>(frame.payload[i] ^ key[i % 4]);
  }
  rx_.erase(0, header + n);
  return frame;
}

std::expected<quern_protocol::packet::Packet, ClientError> WsClient::recv(Timeout timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    auto left = std::max(std::chrono::duration_cast<Timeout>(deadline - Clock::now()), Timeout(1));
    auto frame = recv_frame(left);
    if (!frame) return std::unexpected(frame.error());
    switch (frame->opcode) {
      case opcode::PING:
        ++pings_answered;
        if (auto sent = send_frame(opcode::PONG, frame->payload); !sent) return std::unexpected(sent.error());
        continue;
      case opcode::PONG:
        continue;
      case opcode::CLOSE: {
        last_close = *frame;
        std::string text = "close frame";
        if (auto code = frame->close_code()) text += " " + std::to_string(*code) + " " + frame->close_reason();
        return std::unexpected(closed(text));
      }
      case opcode::BINARY: {
        if (!frame->fin) return std::unexpected(ClientError{ClientError::Kind::BadFrame, "a fragmented message"});
        auto bytes = quern_protocol::Bytes::copy_from(frame->payload);
        auto decoded = quern_protocol::frame::decode_frame_bytes(bytes);
        if (!decoded) return std::unexpected(ClientError{ClientError::Kind::BadFrame, decoded.error().what()});
        if (!*decoded || !bytes.empty())
          return std::unexpected(ClientError{ClientError::Kind::BadFrame, "a message that is not one frame"});
        auto message = msg::Message::deserialize((*decoded)->json.span());
        if (!message) return std::unexpected(ClientError{ClientError::Kind::BadMessage, message.error().text});
        return quern_protocol::packet::Packet{std::move(*message), (*decoded)->payload};
      }
      default:
        return std::unexpected(ClientError{ClientError::Kind::BadFrame,
                                           "an unexpected opcode " + std::to_string(frame->opcode)});
    }
  }
}

std::expected<std::string, ClientError> WsClient::read_to_end(Timeout timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    auto more = read_more(deadline);
    if (!more) {
      if (more.error().kind == ClientError::Kind::Closed) return std::exchange(rx_, {});
      return std::unexpected(more.error());
    }
  }
}

void WsClient::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

}  // namespace quern_testkit
