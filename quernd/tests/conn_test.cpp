#include "conn.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "attach.hpp"
#include "await.hpp"
#include "fakes/raw_peer.hpp"
#include "quern_test_support/runtime.hpp"
#include "frames.hpp"
#include "input_channel.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/control.hpp"
#include "quern_protocol/message.hpp"
#include "sync.hpp"
#include "writer.hpp"

namespace {

namespace asio = boost::asio;
namespace conn = quernd::conn;
using namespace std::chrono_literals;
using quern_fakes::frame_bytes;
using quern_fakes::RawPeer;
using quern_fakes::run_until;
using quernd::task::Task;

// ---- draining ---------------------------------------------------------------------

TEST(DrainReader, ThrowsFramesAwayUntilTheStreamEnds) {
  asio::io_context io;
  auto [client, socket] = RawPeer::pair(io);
  auto [reader, writer] = quernd::transport::UnixStream(std::move(socket)).split();
  bool drained = false;
  Task task = Task::spawn(io.get_executor(), [](quernd::transport::UnixReader& r, bool& done) -> asio::awaitable<void> {
    co_await conn::drain_reader(r);
    done = true;
  }(reader, drained));
  for (int i = 0; i < 5; ++i) {
    client.send(frame_bytes(R"({"type":"list"})", std::string(100'000, 'd')));
    quern_fakes::run_for(io, 10ms, [&] { client.poll(); });
    EXPECT_FALSE(drained);
  }
  client.shutdown_send();
  EXPECT_TRUE(run_until(io, [&] { client.poll(); return drained; }));
}

}  // namespace
