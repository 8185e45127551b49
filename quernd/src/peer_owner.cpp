// Who owns the socket at the other end of a loopback TCP connection.
#include "peer_owner.hpp"

#include <sys/socket.h>

#include <cerrno>

#if !defined(__APPLE__)
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quern_session/fd.hpp"
#endif

namespace quernd::peer_owner {

#if defined(__APPLE__)

Owner of_socket(const sockaddr_in&, const sockaddr_in&) { return std::nullopt; }
Owner of_socket(const sockaddr_in6&, const sockaddr_in6&) { return std::nullopt; }

#else

namespace {

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

// One end of a connection as the kernel's diagnostics name it: the address
// (4 or 16 bytes, network order) and the port (network order).
struct End {
  const void* address;
  std::uint16_t port;
};

bool same(const inet_diag_sockid& id, const End& source, const End& destination, std::size_t address_bytes) {
  return id.idiag_sport == source.port && id.idiag_dport == destination.port &&
         std::memcmp(id.idiag_src, source.address, address_bytes) == 0 &&
         std::memcmp(id.idiag_dst, destination.address, address_bytes) == 0;
}

Owner lookup(std::uint8_t family, const End& source, const End& destination) {
  const std::size_t address_bytes = family == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
  quern_session::Fd diag(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG));
  if (diag.get() < 0) return std::nullopt;

  // One socket, matched exactly by its addresses and ports, in any state.
  Request request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.header.nlmsg_seq = 1;
  request.body.sdiag_family = family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = ~0u;
  request.body.id.idiag_sport = source.port;
  request.body.id.idiag_dport = destination.port;
  std::memcpy(request.body.id.idiag_src, source.address, address_bytes);
  std::memcpy(request.body.id.idiag_dst, destination.address, address_bytes);
  request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = ::sendto(diag.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof request)) return std::nullopt;

  // The kernel answers within the send, so the answer is here already or
  // never comes: the one read does not wait.
  alignas(nlmsghdr) char reply[8192];
  sockaddr_nl from{};
  socklen_t from_len = sizeof from;
  ssize_t got;
  do {
    got = ::recvfrom(diag.get(), reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
  } while (got < 0 && errno == EINTR);
  if (got <= 0 || from_len != sizeof from || from.nl_pid != 0) return std::nullopt;

  // One answer: the socket, or an error (none of those four).
  const auto* h = reinterpret_cast<const nlmsghdr*>(reply);
  // NLMSG_OK, without its comparison of signed and unsigned lengths.
  const auto length = static_cast<std::size_t>(got);
  if (length < sizeof(nlmsghdr) || h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > length || h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_seq != request.header.nlmsg_seq ||
      h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
    return std::nullopt;
  const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
  // Without a connection of those four, the kernel may offer a listener on
  // the source's port, which is nobody's peer.
  if (found->idiag_family != family || found->idiag_state == TCP_LISTEN ||
      !same(found->id, source, destination, address_bytes))
    return std::nullopt;
  // Without an inode no process holds the socket any longer; in time-wait
  // the kernel reports user 0 whoever it was.
  if (found->idiag_inode == 0) return std::nullopt;
  return static_cast<uid_t>(found->idiag_uid);
}

}  // namespace

Owner of_socket(const sockaddr_in& source, const sockaddr_in& destination) {
  return lookup(AF_INET, {&source.sin_addr, source.sin_port}, {&destination.sin_addr, destination.sin_port});
}

Owner of_socket(const sockaddr_in6& source, const sockaddr_in6& destination) {
  return lookup(AF_INET6, {&source.sin6_addr, source.sin6_port}, {&destination.sin6_addr, destination.sin6_port});
}

#endif

Owner of_peer(int fd) {
  sockaddr_storage ours{};
  sockaddr_storage theirs{};
  socklen_t ours_len = sizeof ours;
  socklen_t theirs_len = sizeof theirs;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ours_len) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirs_len) != 0 || ours.ss_family != theirs.ss_family)
    return std::nullopt;
  // The peer's socket has the peer's address as its own and ours as its peer.
  if (ours.ss_family == AF_INET && ours_len == sizeof(sockaddr_in) && theirs_len == sizeof(sockaddr_in)) {
    return of_socket(reinterpret_cast<const sockaddr_in&>(theirs), reinterpret_cast<const sockaddr_in&>(ours));
  }
  if (ours.ss_family == AF_INET6 && ours_len == sizeof(sockaddr_in6) && theirs_len == sizeof(sockaddr_in6)) {
    return of_socket(reinterpret_cast<const sockaddr_in6&>(theirs), reinterpret_cast<const sockaddr_in6&>(ours));
  }
  return std::nullopt;
}

}  // namespace quernd::peer_owner
