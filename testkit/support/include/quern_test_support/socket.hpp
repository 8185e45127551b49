// Unix-domain sockets for tests.
#pragma once

#include <sys/un.h>

#include <filesystem>
#include <utility>

#include "quern_session/fd.hpp"

namespace quern_test_support {

// The address of the socket file `path`; throws when the path is too long.
sockaddr_un unix_address(const std::filesystem::path& path);

// Leaves a socket file at `path` on which nothing listens; throws when it cannot.
void dead_socket(const std::filesystem::path& path);

// Two connected ends of a unix stream, both close-on-exec; throws when it cannot.
std::pair<quern_session::Fd, quern_session::Fd> socket_pair();

}  // namespace quern_test_support
