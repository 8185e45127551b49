#include "decode_turns.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "quern_test_support/runtime.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/control.hpp"
#include "quern_session/wire.hpp"
#include "task.hpp"

namespace {

namespace asio = boost::asio;
namespace msg = quern_protocol::message;
using quern_protocol::Bytes;
using quern_protocol::frame::Frame;
using quernd::conn::DECODE_SLICE;

std::string versions(std::size_t count) {
  std::string out;
  for (std::size_t k = 0; k < count; ++k) out += k ? ",1" : "1";
  return out;
}

// Decodes the frame while another task counts the turns it gets meanwhile.
struct Decoded {
  std::optional<msg::Message> message;
  std::size_t turns = 0;
};

Decoded decode_counting_turns(const Frame& frame) {
  asio::io_context io;
  Decoded out;
  bool done = false;
  // The coroutines take what they use as arguments: a lambda's captures
  // would die with the lambda, before the coroutine ends.
  quernd::task::Task ticker = quernd::task::Task::spawn(io.get_executor(), [](const bool& done, std::size_t& turns) -> asio::awaitable<void> {
    while (!done) {
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
      ++turns;
    }
  }(done, out.turns));
  out.message = quern_test_support::run(io, [&]() -> asio::awaitable<std::optional<msg::Message>> {
    auto m = co_await quernd::conn::decode_in_turns(frame);
    done = true;
    co_return m;
  }());
  return out;
}

TEST(DecodeInTurns, ALargeFrameGivesWhatItGivesInOneGoWithOtherTasksRunningBetweenSlices) {
  const std::string many = versions(4 * DECODE_SLICE / 2);
  struct Case {
    const char* what;
    std::string json;
    bool in_slices;
  };
  const Case cases[] = {
      {"a small message", R"({"type":"list"})", false},
      {"a small text that is none", R"({"type":"list")", false},
      {"a large hello", R"({"type":"hello","versions":[)" + many + "]}", true},
      {"a large list with an unknown member", R"({"type":"list","x":[)" + many + "]}", true},
      {"a large text cut short", R"({"type":"hello","versions":[)" + many, true},
      {"a large text with a wrong element at its end", R"({"type":"hello","versions":[)" + many + R"(,"x"]})", true},
      {"members before the tag past the kept limit", R"({"message":")" + std::string(1 << 20, 'm') + R"(","type":"list"})",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Frame frame{Bytes::copy_from(c.json), Bytes()};
    const Decoded got = decode_counting_turns(frame);
    EXPECT_EQ(got.message, quern_protocol::control::message_of(frame));
    if (c.in_slices) {
      EXPECT_GE(got.turns, c.json.size() / DECODE_SLICE - 1);
    }
  }
}

TEST(DecodeInTurns, AnAbortBetweenSlicesEndsTheDecoding) {
  asio::io_context io;
  const std::string json = R"({"type":"hello","versions":[)" + versions(10 * DECODE_SLICE) + "]}";
  const Frame frame{Bytes::copy_from(json), Bytes()};
  bool finished = false;
  quernd::task::Task task = quernd::task::Task::spawn(io.get_executor(), [](const Frame& frame, bool& finished) -> asio::awaitable<void> {
    co_await quernd::conn::decode_in_turns(frame);
    finished = true;
  }(frame, finished));
  io.run_one();
  io.run_one();
  task.abort();
  io.run();
  EXPECT_TRUE(task.finished());
  EXPECT_FALSE(finished);
}

}  // namespace
