#include "quern_session/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace quern_session {

std::string_view kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound: return "NotFound";
    case ErrorKind::PermissionDenied: return "PermissionDenied";
    case ErrorKind::ConnectionRefused: return "ConnectionRefused";
    case ErrorKind::ConnectionReset: return "ConnectionReset";
    case ErrorKind::ConnectionAborted: return "ConnectionAborted";
    case ErrorKind::NotConnected: return "NotConnected";
    case ErrorKind::AddrInUse: return "AddrInUse";
    case ErrorKind::AddrNotAvailable: return "AddrNotAvailable";
    case ErrorKind::BrokenPipe: return "BrokenPipe";
    case ErrorKind::AlreadyExists: return "AlreadyExists";
    case ErrorKind::WouldBlock: return "WouldBlock";
    case ErrorKind::NotADirectory: return "NotADirectory";
    case ErrorKind::IsADirectory: return "IsADirectory";
    case ErrorKind::InvalidInput: return "InvalidInput";
    case ErrorKind::InvalidData: return "InvalidData";
    case ErrorKind::TimedOut: return "TimedOut";
    case ErrorKind::Interrupted: return "Interrupted";
    case ErrorKind::Unsupported: return "Unsupported";
    case ErrorKind::UnexpectedEof: return "UnexpectedEof";
    case ErrorKind::OutOfMemory: return "OutOfMemory";
    case ErrorKind::Other: return "Other";
  }
  return "Other";
}

ErrorKind kind_of_errno(int err) {
  switch (err) {
    case ENOENT: return ErrorKind::NotFound;
    case EPERM:
    case EACCES: return ErrorKind::PermissionDenied;
    case ECONNREFUSED: return ErrorKind::ConnectionRefused;
    case ECONNRESET: return ErrorKind::ConnectionReset;
    case ECONNABORTED: return ErrorKind::ConnectionAborted;
    case ENOTCONN: return ErrorKind::NotConnected;
    case EADDRINUSE: return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL: return ErrorKind::AddrNotAvailable;
    case EPIPE: return ErrorKind::BrokenPipe;
    case EEXIST: return ErrorKind::AlreadyExists;
    case EAGAIN: return ErrorKind::WouldBlock;
    case ENOTDIR: return ErrorKind::NotADirectory;
    case EISDIR: return ErrorKind::IsADirectory;
    case EINVAL: return ErrorKind::InvalidInput;
    case ETIMEDOUT: return ErrorKind::TimedOut;
    case EINTR: return ErrorKind::Interrupted;
    case ENOSYS:
    case EOPNOTSUPP: return ErrorKind::Unsupported;
    case ENOMEM: return ErrorKind::OutOfMemory;
    default: return ErrorKind::Other;
  }
}

OsError OsError::from_errno(int err) {
  std::string text = std::strerror(err);
  text += " (os error " + std::to_string(err) + ")";
  return OsError(kind_of_errno(err), err, std::move(text));
}

OsError OsError::last() { return from_errno(errno); }

OsError OsError::custom(ErrorKind kind, std::string text) {
  return OsError(kind, 0, std::move(text));
}

OsError OsError::from_error_code(const boost::system::error_code& ec) {
  if (ec.category() == boost::system::system_category() ||
      ec.category() == boost::system::generic_category()) {
    return from_errno(ec.value());
  }
  return custom(ErrorKind::Other, ec.message());
}

}  // namespace quern_session
