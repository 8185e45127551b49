// The far end of a unix stream for tests of the daemon's relaying: a plain
// non-blocking descriptor driven from the test's own thread between runs of
// its io_context. It sends what it is given, records every byte it reads,
// and can stop and resume reading, so that the side under test meets a peer
// that does not read.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "quern_test_support/socket.hpp"

namespace quern_fakes {

// A frame's bytes: the two header words, the JSON text, the payload.
inline std::string frame_bytes(std::string_view json, std::string_view payload = {}) {
  std::string out;
  out.reserve(8 + json.size() + payload.size());
  auto word = [&](std::size_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<char>((v >> shift) & 0xff));
  };
  word(4 + json.size() + payload.size());
  word(json.size());
  out.append(json);
  out.append(payload);
  return out;
}

struct RawFrame {
  std::string json;
  std::string payload;
};

// Runs `io` until `done()` holds or `limit` has passed; true when it holds.
// `done` is asked again after every handler, so it may poll peers.
template <class Done>
bool run_until(boost::asio::io_context& io, Done done,
               std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  io.restart();
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (io.run_one_for(std::chrono::milliseconds(2)) == 0) io.restart();
  }
  return true;
}

// Runs `io` for `span`, calling `tick()` after every handler.
template <class Tick>
void run_for(boost::asio::io_context& io, std::chrono::milliseconds span, Tick tick) {
  run_until(io, [&] { tick(); return false; }, span);
}

class RawPeer {
 public:
  using Socket = boost::asio::local::stream_protocol::socket;

  // A connected pair: this peer, and the socket of the side under test.
  static std::pair<RawPeer, Socket> pair(boost::asio::io_context& io) {
    auto [mine, theirs] = quern_test_support::socket_pair();
    ::fcntl(mine.get(), F_SETFL, ::fcntl(mine.get(), F_GETFL) | O_NONBLOCK);
    Socket other(io);
    other.assign(boost::asio::local::stream_protocol(), theirs.release());
    return {RawPeer(mine.release()), std::move(other)};
  }

  RawPeer(RawPeer&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)),
        reading_(other.reading_),
        eof_(other.eof_),
        write_failed_(other.write_failed_),
        out_(std::move(other.out_)),
        in_(std::move(other.in_)),
        parsed_(other.parsed_),
        frames_(std::move(other.frames_)) {}
  RawPeer& operator=(RawPeer&&) = delete;
  ~RawPeer() { close(); }

  // Queues bytes to send; poll() sends them as the other side takes them.
  void send(std::string_view bytes) {
    out_.append(bytes);
    flush();
  }
  // Sends what is pending and, while reading, reads what has arrived.
  void poll() {
    flush();
    if (!reading_ || fd_ < 0 || eof_) return;
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        in_.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n < 0 && errno == EINTR) continue;
      eof_ = true;  // the other side's sending direction has ended (or failed)
      return;
    }
  }
  void reading(bool on) { reading_ = on; }

  // Ends this peer's sending direction; it can still read.
  void shutdown_send() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  }
  // Ends this peer's receiving direction: the other side's writes fail.
  void shutdown_receive() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RD);
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool eof() const { return eof_; }
  bool write_failed() const { return write_failed_; }
  std::size_t pending() const { return out_.size(); }
  const std::string& received() const { return in_; }
  // The whole frames received so far; a partial one at the end is left out.
  const std::vector<RawFrame>& frames() {
    for (;;) {
      if (in_.size() - parsed_ < 8) break;
      auto word = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<std::uint8_t>(in_[at + i]);
        return std::size_t{v};
      };
      const std::size_t total = word(parsed_), json = word(parsed_ + 4);
      if (in_.size() - parsed_ < 4 + total) break;
      frames_.push_back({in_.substr(parsed_ + 8, json), in_.substr(parsed_ + 8 + json, total - 4 - json)});
      parsed_ += 4 + total;
    }
    return frames_;
  }

 private:
  explicit RawPeer(int fd) : fd_(fd) {}

  void flush() {
    while (!out_.empty() && fd_ >= 0 && !write_failed_) {
      ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL);
      if (n > 0) {
        out_.erase(0, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      write_failed_ = true;
    }
  }

  int fd_ = -1;
  bool reading_ = true;
  bool eof_ = false;
  bool write_failed_ = false;
  std::string out_;
  std::string in_;
  std::size_t parsed_ = 0;
  std::vector<RawFrame> frames_;
};

}  // namespace quern_fakes
