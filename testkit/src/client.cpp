#include "quern_testkit/client.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "quern_protocol/frame.hpp"
#include "quern_session/os_error.hpp"
#include "wait.hpp"

namespace quern_testkit {
namespace {

using detail::Clock;
using detail::os_error;
using detail::wait_for;

}  // namespace

std::expected<Client, ClientError> Client::connect(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof addr.sun_path) return std::unexpected(os_error(ENAMETOOLONG));
  std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::unexpected(os_error(errno));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    ::close(fd);
    return std::unexpected(os_error(err));
  }
  return Client(fd);
}

Client::Client(int fd) : fd_(fd) {}

Client::Client(Client&& other) noexcept : fd_(std::exchange(other.fd_, -1)), rx_(std::move(other.rx_)) {}

Client& Client::operator=(Client&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    rx_ = std::move(other.rx_);
  }
  return *this;
}

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, ClientError> Client::send(const quern_protocol::message::Message& m,
                                              quern_protocol::Bytes payload, Timeout timeout) {
  auto frame = quern_protocol::packet::Packet{m, std::move(payload)}.encode_parts();
  if (!frame) return std::unexpected(ClientError{ClientError::Kind::BadFrame, frame.error().what()});
  return send_bytes(frame->to_bytes().span(), timeout);
}

std::expected<void, ClientError> Client::send_bytes(std::span<const std::uint8_t> bytes, Timeout timeout) {
  return detail::send_all(fd_, bytes, Clock::now() + timeout);
}

std::expected<quern_protocol::packet::Packet, ClientError> Client::recv(Timeout timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    auto got = take_buffered();
    if (!got) return std::unexpected(got.error());
    if (*got) return std::move(**got);
    if (auto ready = wait_for(fd_, POLLIN, deadline); !ready) return std::unexpected(ready.error());
    if (auto read = read_some(); !read) return std::unexpected(read.error());
  }
}

std::expected<std::optional<quern_protocol::packet::Packet>, ClientError> Client::try_recv() {
  auto got = take_buffered();
  if (!got || *got) return got;
  auto read = read_some();
  if (!read) return std::unexpected(read.error());
  if (!*read) return std::nullopt;
  return take_buffered();
}

std::expected<std::optional<quern_protocol::packet::Packet>, ClientError> Client::take_buffered() {
  auto decoded = quern_protocol::frame::decode_frame(rx_);
  if (!decoded) return std::unexpected(ClientError{ClientError::Kind::BadFrame, decoded.error().what()});
  if (!*decoded) return std::nullopt;
  auto& frame = **decoded;
  auto message = quern_protocol::message::Message::deserialize(frame.json.span());
  if (!message) return std::unexpected(ClientError{ClientError::Kind::BadMessage, message.error().text});
  return quern_protocol::packet::Packet{std::move(*message), frame.payload};
}

std::expected<bool, ClientError> Client::read_some() {
  std::size_t want = 4096;
  // Once a frame's header is in, room for the rest of the frame at once:
  // growing by small steps would copy a large frame over and over.
  if (rx_.size() >= quern_protocol::frame::HEADER_LEN) {
    const auto* p = rx_.data();
    const std::size_t total = (std::size_t{p[0]} << 24) | (std::size_t{p[1]} << 16) | (std::size_t{p[2]} << 8) | p[3];
    const std::size_t whole = 4 + std::min<std::size_t>(total, quern_protocol::frame::FRAME_CAP);
    if (whole > rx_.size()) want = std::max(want, whole - rx_.size());
  }
  rx_.reserve(want);
  auto space = rx_.free_space();
  ssize_t n = ::recv(fd_, space.data(), space.size(), MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return false;
    if (errno == ECONNRESET) return std::unexpected(ClientError{ClientError::Kind::Closed, "peer reset the stream"});
    return std::unexpected(os_error(errno));
  }
  if (n == 0) {
    const char* where = rx_.empty() ? "peer closed the stream" : "peer closed the stream inside a frame";
    return std::unexpected(ClientError{ClientError::Kind::Closed, where});
  }
  rx_.commit(static_cast<std::size_t>(n));
  return true;
}

void Client::shutdown_write() { ::shutdown(fd_, SHUT_WR); }

}  // namespace quern_testkit
