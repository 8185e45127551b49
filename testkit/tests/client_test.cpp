#include "quern_testkit/client.hpp"

#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "quern_protocol/frame.hpp"
#include "quern_protocol/packet.hpp"
#include "quern_test_support/socket.hpp"

namespace {

using quern_protocol::Bytes;
using quern_testkit::Client;
using quern_testkit::ClientError;
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;

std::string frame_bytes(const msg::Message& m, std::string_view payload = {}) {
  auto f = quern_protocol::packet::Packet{m, Bytes::copy_from(payload)}.encode_parts();
  return std::string(f->to_bytes().view());
}

std::string raw_frame(std::string_view json) {
  auto f = quern_protocol::frame::encode_frame_parts(
      std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()), Bytes());
  return std::string(f->to_bytes().view());
}

struct Pair {
  Client client{-1};
  int peer = -1;
  Pair() {
    auto [ours, theirs] = quern_test_support::socket_pair();
    client = Client(ours.release());
    peer = theirs.release();
  }
  ~Pair() {
    if (peer >= 0) ::close(peer);
  }
  void write_chunks(const std::vector<std::string>& chunks) {
    for (const auto& c : chunks) ASSERT_EQ(::write(peer, c.data(), c.size()), static_cast<ssize_t>(c.size()));
  }
};

// What recv gives, one step at a time: a message's tag or an error kind.
std::string step(const std::expected<quern_protocol::packet::Packet, ClientError>& r) {
  if (r) return std::string(r->message.tag()) + (r->payload.empty() ? "" : ":" + std::string(r->payload.view()));
  switch (r.error().kind) {
    case ClientError::Kind::Timeout: return "timeout";
    case ClientError::Kind::Closed: return "closed";
    case ClientError::Kind::BadFrame: return "bad frame";
    case ClientError::Kind::BadMessage: return "bad message";
    case ClientError::Kind::Io: return "io";
  }
  return "?";
}

struct RecvCase {
  const char* what;
  std::vector<std::string> chunks;  // written by the peer, in order
  bool close_after;
  std::vector<std::string> steps;
};

TEST(ClientRecv, FramesAreCutFromTheStreamAndFailuresAreTold) {
  // recv returns one whole frame at a time however the bytes arrive, and
  // tells a timeout, an end of stream, a bad header and bad JSON apart.
  const std::string welcome = frame_bytes(msg::Welcome{1});
  const std::string output = frame_bytes(msg::Output{msg::PtyId{"a"}, 1, 0}, "hi");
  std::vector<RecvCase> cases = {
      {"two frames in one write", {welcome + output}, false, {"welcome", "output:hi", "timeout"}},
      {"a frame split inside its header and its JSON",
       {welcome.substr(0, 3), welcome.substr(3, 9), welcome.substr(12)},
       false,
       {"welcome"}},
      {"end of stream between frames", {welcome}, true, {"welcome", "closed"}},
      {"end of stream inside a frame", {output.substr(0, 10)}, true, {"closed"}},
      {"JSON that is no message, then a good frame", {raw_frame("{}") + welcome}, false, {"bad message", "welcome"}},
      {"a header too small for its jsonLen word", {std::string("\0\0\0\3\0\0\0\0", 8)}, false, {"bad frame"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pair p;
    p.write_chunks(c.chunks);
    if (c.close_after) {
      ::close(p.peer);
      p.peer = -1;
    }
    for (const auto& expected : c.steps) EXPECT_EQ(step(p.client.recv(100ms)), expected);
  }
}

TEST(ClientSend, SendsOneFrameWithItsPayload) {
  // What send writes decodes back to the same message and payload.
  Pair p;
  ASSERT_TRUE(p.client.send(msg::Write{msg::PtyId{"a"}}, Bytes::copy_from("echo hi\n")));
  Client reader(p.peer);
  p.peer = -1;
  auto got = reader.recv(1s);
  ASSERT_TRUE(got) << got.error().text;
  EXPECT_EQ(got->message, msg::Message(msg::Write{msg::PtyId{"a"}}));
  EXPECT_EQ(got->payload.view(), "echo hi\n");
}

}  // namespace
