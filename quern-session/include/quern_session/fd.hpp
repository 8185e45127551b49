// Owned descriptors, and the plain calls every layer makes on one: marking
// it close-on-exec, writing a whole text, forcing a file to its device.
#pragma once

#include <unistd.h>

#include <expected>
#include <string_view>
#include <utility>

#include <boost/system/error_code.hpp>

#include "quern_session/os_error.hpp"

namespace quern_session {

// A descriptor that is closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  // Hands the descriptor to an Asio I/O object; when that fails it stays here.
  template <class IoObject>
  boost::system::error_code hand_to(IoObject& io) {
    boost::system::error_code ec;
    io.assign(fd_, ec);
    if (!ec) fd_ = -1;
    return ec;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Keeps the descriptor from the programs this process starts.
std::expected<void, OsError> set_close_on_exec(int fd);

// Writes the whole text at the descriptor's offset; an interrupted write is
// tried again.
std::expected<void, OsError> write_all(int fd, std::string_view text);

// Forces the file's data to stable storage (on macOS past the drive's own
// cache); an interrupted call is tried again.
std::expected<void, OsError> sync_to_device(int fd);

}  // namespace quern_session
