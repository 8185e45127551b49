// The owner of the socket at the other end of a loopback TCP connection.
#include "peer_owner.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "quern_session/child.hpp"
#include "quern_session/fd.hpp"
#include "quern_test_support/process.hpp"

namespace {

namespace owner = quernd::peer_owner;
using quern_session::Fd;

constexpr uid_t NOBODY = 65534;

// A loopback address of either family, as the system gives it.
struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

Address loopback(int family) {
  Address a;
  if (family == AF_INET) {
    auto& in = reinterpret_cast<sockaddr_in&>(a.storage);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.length = sizeof in;
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(a.storage);
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    a.length = sizeof in6;
  }
  return a;
}

Address address_of(int fd) {
  Address a;
  a.length = sizeof a.storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a.storage), &a.length) != 0)
    throw std::runtime_error("getsockname");
  return a;
}

// The owner of the socket at `source` whose peer is `destination`.
owner::Owner of_socket(const Address& source, const Address& destination) {
  if (source.family() == AF_INET) {
    return owner::of_socket(reinterpret_cast<const sockaddr_in&>(source.storage),
                            reinterpret_cast<const sockaddr_in&>(destination.storage));
  }
  return owner::of_socket(reinterpret_cast<const sockaddr_in6&>(source.storage),
                          reinterpret_cast<const sockaddr_in6&>(destination.storage));
}

Fd tcp_socket(int family) {
  Fd s(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0) throw std::runtime_error("socket");
  return s;
}

// A socket bound to a port of the loopback address that the system chooses.
Fd bound(int family) {
  Fd s = tcp_socket(family);
  const Address any = loopback(family);
  if (::bind(s.get(), any.get(), any.length) != 0) throw std::runtime_error("bind");
  return s;
}

Fd listening(int family) {
  Fd s = bound(family);
  if (::listen(s.get(), 8) != 0) throw std::runtime_error("listen");
  return s;
}

Fd connected_to(const Address& to) {
  Fd s = tcp_socket(to.family());
  if (::connect(s.get(), to.get(), to.length) != 0) throw std::runtime_error("connect");
  return s;
}

Fd accepted(int listener) {
  Fd s(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (s.get() < 0) throw std::runtime_error("accept");
  return s;
}

// Each test runs on IPv4 and on IPv6 loopback.
constexpr int FAMILIES[] = {AF_INET, AF_INET6};
const char* name_of(int family) { return family == AF_INET ? "IPv4" : "IPv6"; }

// The server's end of a connection whose client socket a child running as
// `uid` made, held open by the child until `hold` closes.
struct ForeignClient {
  Fd server;
  quern_test_support::Process child;
  Fd hold;  // the child keeps its socket until this closes
};

ForeignClient foreign_client(int listener, uid_t uid) {
  auto ready = quern_session::child::make_pipe();
  auto hold = quern_session::child::make_pipe();
  if (!ready || !hold) throw std::runtime_error("pipe");
  const Address to = address_of(listener);
  const int ready_end = ready->write.get();
  const int hold_end = hold->read.get();
  const int hold_other = hold->write.get();
  auto child = quern_test_support::as_user(uid, uid, [&]() -> int {
    ::close(hold_other);
    const int s = ::socket(to.family(), SOCK_STREAM, 0);
    if (s < 0 || ::connect(s, to.get(), to.length) != 0) return 2;
    if (::write(ready_end, "r", 1) != 1) return 3;
    char c;
    while (::read(hold_end, &c, 1) > 0) {
    }
    return 0;
  });
  ready->write.reset();
  hold->read.reset();
  pollfd p{ready->read.get(), POLLIN, 0};
  char c;
  if (::poll(&p, 1, 10'000) != 1 || ::read(ready->read.get(), &c, 1) != 1) throw std::runtime_error("no client");
  return ForeignClient{accepted(listener), std::move(child), std::move(hold->write)};
}

TEST(PeerOwner, NamesTheUserOfTheSocketAtTheOtherEnd) {
  // Our own client, and (as root) a client of another user: the server's
  // end of each connection names the user that made the client's socket.
  for (int family : FAMILIES) {
    SCOPED_TRACE(name_of(family));
    Fd listener = listening(family);
    Fd mine = connected_to(address_of(listener.get()));
    Fd server = accepted(listener.get());
    EXPECT_EQ(owner::of_peer(server.get()), ::geteuid());
    EXPECT_EQ(of_socket(address_of(mine.get()), address_of(listener.get())), ::geteuid());

    if (::geteuid() != 0) continue;
    ForeignClient theirs = foreign_client(listener.get(), NOBODY);
    EXPECT_EQ(owner::of_peer(theirs.server.get()), NOBODY);
    EXPECT_EQ(owner::of_peer(server.get()), ::geteuid()) << "each connection by its own peer";
    theirs.hold.reset();
    EXPECT_EQ(theirs.child.wait_exit(std::chrono::seconds(10)), 0);
  }
  if (::geteuid() != 0) GTEST_SKIP() << "another user's client needs root";
}

TEST(PeerOwner, IsUnknownWithoutASocketThatAProcessHoldsAtThatAddress) {
  // No such socket, a socket its process has closed (the kernel reports
  // user 0 for one in time-wait), and a listening socket, which is nobody's
  // peer.
  for (int family : FAMILIES) {
    SCOPED_TRACE(name_of(family));
    Fd listener = listening(family);
    const Address server_address = address_of(listener.get());
    Fd unconnected = bound(family);
    Fd gone = connected_to(server_address);
    Fd server_of_gone = accepted(listener.get());
    gone.reset();
    Fd other_listener = listening(family);

    const std::tuple<const char*, std::function<owner::Owner()>> cases[] = {
        {"a port without a connection", [&] { return of_socket(address_of(unconnected.get()), server_address); }},
        {"a closed client", [&] { return owner::of_peer(server_of_gone.get()); }},
        {"a listening socket", [&] { return of_socket(address_of(other_listener.get()), server_address); }},
        {"not a socket", [&] { return owner::of_peer(STDIN_FILENO); }},
    };
    for (const auto& [what, lookup] : cases) {
      EXPECT_EQ(lookup(), std::nullopt) << what;
    }
  }
}

}  // namespace
