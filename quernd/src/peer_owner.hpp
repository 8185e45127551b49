// Who owns the socket at the other end of a loopback TCP connection: on
// Linux, the kernel's socket diagnostics over netlink; on macOS, never known.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <optional>

namespace quernd::peer_owner {

// The user owning a socket; none when it cannot be told.
using Owner = std::optional<uid_t>;

// The owner of the TCP socket whose own address is `source` and whose peer
// is `destination`, IPv4 or IPv6. Unknown when the kernel has no such socket (a
// listener on that port is none), when no process holds it any longer
// (closed, or in time-wait, where the kernel keeps no user), or when the
// kernel cannot be asked. One short netlink exchange that never waits for
// its answer.
Owner of_socket(const sockaddr_in& source, const sockaddr_in& destination);
Owner of_socket(const sockaddr_in6& source, const sockaddr_in6& destination);

// The owner of the socket at the other end of the connected TCP socket
// `fd` (IPv4 or IPv6); unknown when either address cannot be read.
Owner of_peer(int fd);

}  // namespace quernd::peer_owner
