// The session socket: bound unless another shim already serves it.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

namespace quern_shim {

struct BindError {
  bool taken;        // another shim answers on the socket
  std::string text;  // for the report line
};

// Binds and listens on `path` (mode 0600), non-blocking and close-on-exec, and
// returns the listening descriptor. A stale socket file is replaced; a socket
// that answers is left alone. The probe and the bind run under a lock on the
// socket's directory, so two shims starting at once cannot both bind.
std::expected<int, BindError> bind_session_socket(const std::filesystem::path& path);

}  // namespace quern_shim
