#include "shim_hello.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <chrono>
#include <csignal>
#include <ostream>
#include <string>

#include "fakes/fake_shim.hpp"
#include "quern_protocol/control.hpp"
#include "quern_test_support/runtime.hpp"
#include "quern_protocol/message.hpp"
#include "registry.hpp"
#include "timings.hpp"

namespace {

namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using quern_fakes::Behaviour;
using quern_fakes::FakeShim;
using OnHello = Behaviour::OnHello;

const quernd::Timings PRODUCT = quernd::Timings::product();
// The reply limit of the cases that wait it out.
constexpr std::chrono::milliseconds SHORT_REPLY = 500ms;

// A frame around a JSON text, with an empty payload.
std::string frame_of(const std::string& json) {
  std::string out;
  auto word = [&](std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<char>((v >> shift) & 0xff));
  };
  word(static_cast<std::uint32_t>(4 + json.size()));
  word(static_cast<std::uint32_t>(json.size()));
  return out + json;
}

Behaviour answering(msg::Message m) { return Behaviour{.answer = std::move(m)}; }
Behaviour doing(OnHello what) { return Behaviour{.on_hello = what}; }
Behaviour sending(std::string bytes) {
  return Behaviour{.on_hello = OnHello::Garbage, .garbage = std::move(bytes)};
}

struct HelloCase {
  const char* name;
  Behaviour peer;
  std::string error;  // empty: the handshake succeeds
};
void PrintTo(const HelloCase& c, std::ostream* os) { *os << c.name; }

class Hello : public ::testing::TestWithParam<HelloCase> {
 protected:
  void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }

  boost::asio::io_context io;
  quern_test_support::TempRuntime dir;
};

TEST_P(Hello, AnswersAsThePeerDoes) {
  // The daemon offers [1] and accepts any welcome; every other answer, or
  // none, fails with the wire error's text.
  const auto& c = GetParam();
  FakeShim shim(io.get_executor(), dir.sessions() / "s.sock", c.peer);
  auto probed = quern_test_support::run(io, quernd::registry::probe(shim.path(), PRODUCT.probe));
  ASSERT_TRUE(probed.is<quernd::registry::Probe::Live>());
  auto& stream = std::get<quernd::registry::Probe::Live>(probed.value).stream;
  io.restart();
  io.run_for(std::chrono::milliseconds(50));  // the shim has accepted

  auto greeted = quern_test_support::run(io, quernd::wire::hello(std::move(stream), SHORT_REPLY));

  if (c.error.empty()) {
    ASSERT_TRUE(greeted.has_value()) << greeted.error().what();
  } else {
    ASSERT_FALSE(greeted.has_value());
    EXPECT_EQ(greeted.error().what(), c.error);
  }
  if (c.peer.on_hello == OnHello::Answer || c.peer.on_hello == OnHello::Silent ||
      c.peer.on_hello == OnHello::CloseOnHello) {
    ASSERT_EQ(shim.received().size(), 1u);
    EXPECT_EQ(shim.received()[0], msg::Message(msg::Hello{{1}}));
  }
}

const std::string undecodable = R"({"type":"nope"})";

INSTANTIATE_TEST_SUITE_P(
    Peers, Hello,
    ::testing::Values(
        HelloCase{"welcome", answering(msg::Welcome{1}), ""},
        HelloCase{"welcome_with_any_version", answering(msg::Welcome{7}), ""},
        HelloCase{"empty_listed", answering(msg::Listed{}),
                  "peer answered Listed { entries: [] } where Welcome was expected"},
        HelloCase{"error", answering(msg::Error{std::nullopt, "go away"}),
                  "peer answered " + msg::Message(msg::Error{std::nullopt, "go away"}).debug() +
                      " where Welcome was expected"},
        HelloCase{"silent", doing(OnHello::Silent), "no reply within 500ms"},
        HelloCase{"not_reading", doing(OnHello::StopReading), "no reply within 500ms"},
        HelloCase{"closes_at_once", doing(OnHello::CloseAtOnce), "Broken pipe (os error 32)"},
        HelloCase{"closes_on_hello", doing(OnHello::CloseOnHello), "peer closed"},
        HelloCase{"header_over_the_cap", sending(std::string("\xff\xff\xff\xff\0\0\0\0", 8)),
                  "frame too large: totalLen 4294967295 exceeds the 8388608-byte cap"},
        HelloCase{"no_message", sending(frame_of(undecodable)),
                  "undecodable message: " + msg::Message::deserialize(undecodable).error().what()},
        HelloCase{"half_a_frame",
                  sending(frame_of(R"({"type":"welcome","version":1})").substr(0, 12)),
                  "no reply within 500ms"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hello, LeavesTheConnectionReadyForFrames) {
  // After the welcome, the write half reaches the shim and the reader gets
  // the shim's next frame.
  Behaviour peer{.list_answer = msg::Listed{{msg::PtyEntry{{"a"}, {3, 4}, std::nullopt}}}};
  FakeShim shim(io.get_executor(), dir.sessions() / "s.sock", peer);
  auto probed = quern_test_support::run(io, quernd::registry::probe(shim.path(), PRODUCT.probe));
  auto greeted = quern_test_support::run(
      io, quernd::wire::hello(std::move(std::get<quernd::registry::Probe::Live>(probed.value).stream),
                              PRODUCT.reply));
  ASSERT_TRUE(greeted.has_value()) << greeted.error().what();

  auto sent = quern_test_support::run(
      io, quernd::wire::write_frame(greeted->writer, quern_protocol::control::encode(msg::List{})));
  ASSERT_TRUE(sent.has_value());
  auto reply = quern_test_support::run(io, greeted->reader.expect(PRODUCT.reply));
  ASSERT_TRUE(reply.has_value()) << reply.error().what();
  EXPECT_EQ(reply->message, *peer.list_answer);
}

TEST_F(Hello, FailsWithTheWriteError) {
  boost::asio::local::stream_protocol::socket ours(io), theirs(io);
  boost::asio::local::connect_pair(ours, theirs);
  ours.shutdown(boost::asio::socket_base::shutdown_send);

  auto greeted = quern_test_support::run(io, quernd::wire::hello(std::move(ours), PRODUCT.reply));

  ASSERT_FALSE(greeted.has_value());
  ASSERT_TRUE(greeted.error().is<quern_session::wire::WireError::Io>());
  EXPECT_EQ(greeted.error().what(), "Broken pipe (os error 32)");
}

}  // namespace
