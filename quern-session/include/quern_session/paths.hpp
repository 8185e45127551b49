// The per-user runtime directory and every socket and file name in it.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "quern_protocol/message.hpp"
#include "quern_session/os_error.hpp"

namespace quern_session::paths {

class Runtime {
 public:
  std::filesystem::path root;

  // QUERN_RUNTIME_DIR as it is; else XDG_RUNTIME_DIR/quern; else
  // quern-{uid} under the temporary directory. Never fails.
  static Runtime from_env();

  // Creates the root and root/sessions when missing and checks that each is a
  // real directory (not a symlink) owned by this user with mode 0700.
  std::expected<void, OsError> ensure() const;

  std::filesystem::path daemon_socket() const;
  std::filesystem::path session_socket(const quern_protocol::message::PtyId& id) const;
  std::filesystem::path session_manifest(const quern_protocol::message::PtyId& id) const;
  std::filesystem::path daemon_pid_file() const;
  std::filesystem::path data_endpoint() const;
  // root/sessions
  std::filesystem::path sessions_dir() const;
};

// The first 6 bytes of the SHA-256 digest of `bytes`, as 12 lowercase hex digits.
std::string short_hash(std::string_view bytes);

// A path's text for messages: bytes that are not UTF-8 become U+FFFD.
std::string display(const std::filesystem::path& p);

}  // namespace quern_session::paths
