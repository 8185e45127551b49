#include "frame_io.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/json/value.hpp>

#include "quern_protocol/json_writer.hpp"

namespace quern_bench {
namespace {

// Payloads up to this size are copied into their frame's batch buffer.
constexpr std::size_t PACK_LIMIT = 4096;
// The most buffers handed to one writev.
constexpr std::size_t MAX_IOV = 256;

void put_head(std::uint8_t* p, std::string_view json, std::size_t payload_len) {
  put_be32(p, static_cast<std::uint32_t>(4 + json.size() + payload_len));
  put_be32(p + 4, static_cast<std::uint32_t>(json.size()));
  std::memcpy(p + 8, json.data(), json.size());
}

}  // namespace

std::string json_of(const Message& m) { return quern_protocol::json::write_compact(m.serialize()); }

Bytes frame_head(std::string_view json, std::size_t payload_len) {
  return Bytes::build(8 + json.size(), [&](std::uint8_t* p) { put_head(p, json, payload_len); });
}

void Outgoing::push(Bytes b) {
  if (b.empty()) return;
  bytes_ += b.size();
  parts_.push_back(std::move(b));
}

bool Outgoing::write_some(int fd) {
  while (!parts_.empty()) {
    iovec iov[MAX_IOV];
    std::size_t n = 0;
    for (auto it = parts_.begin(); it != parts_.end() && n < MAX_IOV; ++it, ++n) {
      iov[n] = {const_cast<std::uint8_t*>(it->data()), it->size()};
    }
    ssize_t w = ::writev(fd, iov, static_cast<int>(n));
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno == EAGAIN;
    auto left = static_cast<std::size_t>(w);
    bytes_ -= left;
    while (left > 0) {
      Bytes& front = parts_.front();
      if (left < front.size()) {
        front.advance(left);
        break;
      }
      left -= front.size();
      parts_.pop_front();
    }
  }
  return true;
}

OutputFrames::OutputFrames(const std::string& id, Bytes payload) : payload_(std::move(payload)) {
  prefix_ = "{\"epoch\":0,\"id\":" + quern_protocol::json::write_compact(boost::json::value(id)) +
            ",\"sequence\":";
}

std::string OutputFrames::json(std::uint64_t sequence) const {
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, sequence).ptr;
  std::string s;
  s.reserve(prefix_.size() + 40);
  s.append(prefix_).append(digits, end).append(",\"type\":\"output\"}");
  return s;
}

void OutputFrames::fill(Outgoing& out, std::size_t count) {
  if (payload_.size() > PACK_LIMIT) {
    for (std::size_t i = 0; i < count; ++i) {
      out.push(frame_head(json(next_++), payload_.size()));
      out.push(payload_);
    }
    return;
  }
  std::vector<std::uint8_t> batch;
  batch.reserve(count * (prefix_.size() + 48 + payload_.size()));
  for (std::size_t i = 0; i < count; ++i) {
    std::string j = json(next_++);
    std::size_t at = batch.size();
    batch.resize(at + 8 + j.size() + payload_.size());
    put_head(batch.data() + at, j, payload_.size());
    std::memcpy(batch.data() + at + 8 + j.size(), payload_.data(), payload_.size());
  }
  out.push(Bytes::from_vector(std::move(batch)));
}

void OutputFrames::push(Outgoing& out, Bytes payload) {
  out.push(frame_head(json(next_++), payload.size()));
  out.push(std::move(payload));
}

int connect_unix(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

Conn::Conn(int fd) : fd_(fd) {
  timeval limit{.tv_sec = 10, .tv_usec = 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

Conn Conn::connect(const std::filesystem::path& path) {
  int fd = connect_unix(path);
  if (fd < 0) fail("connect " + path.native(), errno);
  return Conn(fd);
}

Conn::Conn(Conn&& o) noexcept : fd_(o.fd_), rx_(std::move(o.rx_)) { o.fd_ = -1; }

Conn::~Conn() {
  if (fd_ >= 0) ::close(fd_);
}

[[noreturn]] void fail(const std::string& what, int err) {
  throw std::runtime_error(what + ": " + std::strerror(err));
}

void put_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

void write_all(int fd, iovec* at, int n) {
  while (n > 0) {
    ssize_t w = ::writev(fd, at, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) fail("send", errno);
    auto left = static_cast<std::size_t>(w);
    while (n > 0 && left >= at->iov_len) {
      left -= at->iov_len;
      ++at;
      --n;
    }
    if (n > 0) {
      at->iov_base = static_cast<char*>(at->iov_base) + left;
      at->iov_len -= left;
    }
  }
}

void Conn::send(std::string_view json, std::span<const std::uint8_t> payload) {
  std::uint8_t head[8];
  put_be32(head, static_cast<std::uint32_t>(4 + json.size() + payload.size()));
  put_be32(head + 4, static_cast<std::uint32_t>(json.size()));
  iovec iov[3] = {{head, 8},
                  {const_cast<char*>(json.data()), json.size()},
                  {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
  write_all(fd_, iov, 3);
}

Frame Conn::recv() {
  for (;;) {
    auto decoded = quern_protocol::frame::decode_frame(rx_);
    if (!decoded) throw std::runtime_error("bad frame: " + decoded.error().what());
    if (*decoded) return std::move(**decoded);
    rx_.reserve(64 * 1024);
    auto space = rx_.free_space();
    ssize_t r = ::read(fd_, space.data(), space.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno == EAGAIN) throw std::runtime_error("no frame within 10 s");
    if (r < 0) fail("read", errno);
    if (r == 0) throw std::runtime_error("the peer closed the connection");
    rx_.commit(static_cast<std::size_t>(r));
  }
}

std::size_t Conn::drain() {
  std::size_t dropped = 0;
  for (;;) {
    for (;;) {
      auto decoded = quern_protocol::frame::decode_frame(rx_);
      if (!decoded) throw std::runtime_error("bad frame: " + decoded.error().what());
      if (!*decoded) break;
      ++dropped;
    }
    rx_.reserve(64 * 1024);
    auto space = rx_.free_space();
    ssize_t r = ::recv(fd_, space.data(), space.size(), MSG_DONTWAIT);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return dropped;
    if (r < 0) fail("read", errno);
    if (r == 0) throw std::runtime_error("the peer closed the connection");
    rx_.commit(static_cast<std::size_t>(r));
  }
}

Message Conn::expect(std::string_view tag) { return message_of_kind(recv(), tag); }

Message message_of_kind(const Frame& f, std::string_view tag) {
  auto m = Message::deserialize(f.json.span());
  if (!m) throw std::runtime_error("undecodable frame: " + m.error().text);
  if (m->tag() != tag) {
    throw std::runtime_error("got " + m->debug() + " where " + std::string(tag) + " was expected");
  }
  return std::move(*m);
}

bool is_output(const Frame& f) { return f.json.view().ends_with(",\"type\":\"output\"}"); }

}  // namespace quern_bench
