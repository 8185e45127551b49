// Operating-system errors as values: a kind mapped from errno and the system's
// text, "{description} (os error {n})"; or a kind with a fixed text of our own.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include <boost/system/error_code.hpp>

namespace quern_session {

enum class ErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  InvalidInput,
  InvalidData,
  TimedOut,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  Other,
};

std::string_view kind_name(ErrorKind kind);
ErrorKind kind_of_errno(int err);

class OsError {
 public:
  // From an errno value: kind mapped, text from the system with " (os error {n})".
  static OsError from_errno(int err);
  // The current errno.
  static OsError last();
  // One of our own errors: a kind and a fixed text, no error number.
  static OsError custom(ErrorKind kind, std::string text);
  // An Asio error: system errors keep their errno; others keep their message.
  static OsError from_error_code(const boost::system::error_code& ec);

  ErrorKind kind() const { return kind_; }
  // The error number, or 0 for an error of our own.
  int raw_os_error() const { return errno_; }
  const std::string& what() const { return text_; }

 private:
  OsError(ErrorKind kind, int err, std::string text)
      : kind_(kind), errno_(err), text_(std::move(text)) {}
  ErrorKind kind_;
  int errno_;
  std::string text_;
};

}  // namespace quern_session
