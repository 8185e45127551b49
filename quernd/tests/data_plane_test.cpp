#include "data_plane.hpp"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "await.hpp"
#include "fakes/raw_peer.hpp"
#include "quern_test_support/runtime.hpp"
#include "outbound.hpp"
#include "sync.hpp"
#include "task.hpp"
#include "writer.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"
#include "quern_protocol/packet.hpp"
#include "quern_test_support/files.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace dp = quernd::data_plane;
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using dp::Rejection;
using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quern_test_support::read_file;
using quernd::use_tuple;

const std::string TOKEN = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// --- one frame per message ---

std::string frame_of(const msg::Message& m, std::string_view payload = "") {
  auto f = quern_protocol::packet::Packet{m, Bytes::copy_from(payload)}.encode_parts();
  return std::string(f->to_bytes().view());
}

TEST(OneFrame, TakesExactlyOneWholeFrameAsAViewOfTheMessage) {
  const std::string hello = frame_of(msg::Hello{{1}});
  const std::string write = frame_of(msg::Write{msg::PtyId{"s"}}, "input");
  std::string header_over_cap("\x00\x80\x00\x01\x00\x00\x00\x02{}", 10);
  const std::pair<std::string, bool> cases[] = {
      {hello, true},
      {write, true},
      {"", false},
      {hello.substr(0, 7), false},
      {hello.substr(0, hello.size() - 1), false},
      {hello + "x", false},
      {hello + hello, false},
      {header_over_cap, false},
      {std::string("\x00\x00\x00\x02\x00\x00\x00\x00", 8), false},  // totalLen below 4
  };
  for (const auto& [bytes, whole] : cases) {
    Bytes message = Bytes::copy_from(bytes);
    auto frame = dp::one_frame(message);
    EXPECT_EQ(frame.has_value(), whole) << bytes.size() << " bytes";
    if (frame && bytes == write) {
      EXPECT_EQ(frame->json.view(), R"({"id":"s","type":"write"})");
      EXPECT_EQ(frame->payload.view(), "input");
      EXPECT_TRUE(frame->payload.shares_storage_with(message)) << "nothing is copied";
    }
  }
}

// --- the endpoint file ---

TEST(Endpoint, JsonHasItsKeysInOrderAndNoWhiteSpace) {
  EXPECT_EQ(dp::endpoint_json(dp::Endpoint{TOKEN, 5173, 1700000000123}),
            R"({"launched_at":1700000000123,"port":5173,"token":")" + TOKEN + R"("})");
  EXPECT_EQ(dp::millis_since_epoch(std::chrono::system_clock::time_point(1234567891ms)), 1234567891u);
  EXPECT_EQ(dp::millis_since_epoch(std::chrono::system_clock::time_point(-5ms)), 1u) << "before the epoch";
}

class EndpointFile : public ::testing::Test {
 protected:
  asio::io_context io;
  quern_test_support::TempRuntime dir;
  const quern_session::paths::Runtime& runtime = dir.runtime();
  std::filesystem::path temporary = runtime.root / ("quernd-data.tmp-" + std::to_string(::getpid()));

  dp::DataPlane bound() {
    auto plane = dp::DataPlane::bind({"http://localhost:5173"}, io.get_executor(), quernd::Timings::product());
    if (!plane) throw std::runtime_error(plane.error().what());
    return std::move(*plane);
  }
};

TEST_F(EndpointFile, HoldsThisRunsPortTokenAndStartWithMode0600) {
  const auto before = dp::millis_since_epoch(std::chrono::system_clock::now());
  auto plane = bound();
  const auto e = plane.endpoint();
  EXPECT_NE(e.port, 0);
  EXPECT_EQ(e.token, plane.token().secret());
  EXPECT_GE(e.launched_at, before);
  ::umask(077);
  ASSERT_TRUE(plane.write_endpoint(runtime));
  ::umask(022);
  EXPECT_EQ(read_file(runtime.data_endpoint()), dp::endpoint_json(e));
  struct stat st{};
  ASSERT_EQ(::stat(runtime.data_endpoint().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(EndpointFile, ReplacesAnEarlierFileAndWhateverStandsAtTheTemporaryName) {
  // An earlier file is replaced whole; a leftover temporary file of another
  // mode, or a link planted at its name, never receives the token.
  auto plane = bound();
  std::ofstream(runtime.data_endpoint()) << "an older run's file";
  const auto victim = runtime.root / "victim";
  std::ofstream(victim) << "not to be written";

  std::ofstream(temporary) << "a leftover of another mode, longer than the new text will be................";
  ::chmod(temporary.c_str(), 0644);
  ASSERT_TRUE(plane.write_endpoint(runtime));
  EXPECT_EQ(read_file(runtime.data_endpoint()), dp::endpoint_json(plane.endpoint()));
  struct stat st{};
  ASSERT_EQ(::stat(runtime.data_endpoint().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  std::filesystem::create_symlink(victim, temporary);
  ASSERT_TRUE(plane.write_endpoint(runtime));
  EXPECT_EQ(read_file(victim), "not to be written");
  EXPECT_EQ(read_file(runtime.data_endpoint()), dp::endpoint_json(plane.endpoint()));
  EXPECT_FALSE(std::filesystem::is_symlink(runtime.data_endpoint()));
}

TEST_F(EndpointFile, AFailedWriteLeavesTheEarlierFileAlone) {
  auto plane = bound();
  std::ofstream(runtime.data_endpoint()) << "earlier";
  // A directory at the final name cannot be replaced by a file.
  const auto blocked = runtime.root / "blocked";
  std::filesystem::create_directories(blocked / "quernd-data.json" / "x");
  quern_session::paths::Runtime other{blocked};
  auto written = plane.write_endpoint(other);
  EXPECT_FALSE(written);
  EXPECT_EQ(read_file(runtime.data_endpoint()), "earlier");
}

// --- the WebSocket transport, with short clocks ---

using ClientStream = websocket::stream<asio::ip::tcp::socket>;

class WsTransportTest : public ::testing::Test {
 protected:
  WsTransportTest() { ::signal(SIGPIPE, SIG_IGN); }

  asio::io_context io;
  quernd::WsTiming timing{.idle = 300ms, .ping_period = 200ms, .overflow_close = 1s, .finish_close = 1s};

  struct Pair {
    dp::WsTransport server;
    std::unique_ptr<ClientStream> client;
    int server_fd = -1;  // to jam the connection from below
  };

  // A connected pair: the server side upgraded through the real checks.
  asio::awaitable<Pair> connect() {
    auto ex = co_await asio::this_coro::executor;
    asio::ip::tcp::acceptor acceptor(ex, {asio::ip::address_v4::loopback(), 0});
    const auto port = acceptor.local_endpoint().port();
    auto client = std::make_unique<ClientStream>(ex);
    co_await client->next_layer().async_connect(acceptor.local_endpoint(), asio::use_awaitable);
    auto socket = co_await acceptor.async_accept(asio::use_awaitable);
    const int server_fd = socket.native_handle();
    client->set_option(websocket::stream_base::decorator([](websocket::request_type& r) {
      r.set(http::field::origin, "http://t.example");
      r.set(http::field::sec_websocket_protocol, TOKEN);
    }));
    dp::Admission admission{std::make_shared<const std::vector<std::string>>(std::vector<std::string>{"http://t.example"}),
                            dp::Token::from_digits(TOKEN), port};
    using namespace asio::experimental::awaitable_operators;
    auto server = co_await (dp::open_websocket(std::move(socket), std::move(admission), timing) &&
                                         client->async_handshake("127.0.0.1:" + std::to_string(port), "/",
                                                                 asio::use_awaitable));
    if (!server) throw std::runtime_error(server.error().what());
    co_return Pair{std::move(*server), std::move(client), server_fd};
  }

  template <class T>
  T run(asio::awaitable<T> task) {
    return quern_test_support::run(io, std::move(task));
  }
};

asio::awaitable<void> sleep_for(Clock::duration d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(use_tuple);
}

TEST_F(WsTransportTest, SilenceEndsTheIncomingSideAndPingsOrPongsPutItOff) {
  // Long enough that a control frame never comes too late, however busy the
  // machine, and shorter than the time they keep coming.
  timing.idle = 600ms;
  run([this]() -> asio::awaitable<void> {
    for (bool pongs : {false, true}) {
      SCOPED_TRACE(pongs ? "pongs" : "pings");
      auto pair = co_await connect();
      auto [reader, writer] = std::move(pair.server).split();
      auto& client = *pair.client;
      // The client keeps talking for a while, then falls silent.
      Clock::time_point last_heard;
      auto talk = [&]() -> asio::awaitable<void> {
        for (int i = 0; i < 6; ++i) {
          co_await sleep_for(150ms);
          last_heard = Clock::now();
          auto [ec] = pongs ? co_await client.async_pong({}, use_tuple) : co_await client.async_ping({}, use_tuple);
          EXPECT_FALSE(ec);
        }
      };
      // Pings are only answered while the client reads.
      beast::flat_buffer sink;
      client.async_read(sink, [](auto, auto) {});
      using namespace asio::experimental::awaitable_operators;
      const auto started = Clock::now();
      auto frame = co_await (reader.next() && talk());
      const auto ended = Clock::now();
      EXPECT_FALSE(frame);
      EXPECT_GE(ended - started, 900ms) << "six control frames 150 ms apart kept it open";
      EXPECT_GE(ended - last_heard, 590ms);
      EXPECT_LT(ended - last_heard, 1200ms);
      // Ended for good.
      const auto again = Clock::now();
      EXPECT_FALSE(co_await reader.next());
      EXPECT_LT(Clock::now() - again, 150ms);
      beast::get_lowest_layer(client).close();
    }
  }());
}

TEST_F(WsTransportTest, ABinaryMessageIsAFrameAndATextMessageEndsTheIncomingSide) {
  run([this]() -> asio::awaitable<void> {
    auto pair = co_await connect();
    auto [reader, writer] = std::move(pair.server).split();
    auto& client = *pair.client;
    client.binary(true);
    const std::string write = frame_of(msg::Write{msg::PtyId{"s"}}, "typed");
    co_await client.async_write(asio::buffer(write), asio::use_awaitable);
    client.text(true);
    co_await client.async_write(asio::buffer(frame_of(msg::List{})), asio::use_awaitable);
    client.binary(true);
    co_await client.async_write(asio::buffer(frame_of(msg::List{})), asio::use_awaitable);

    auto frame = co_await reader.next();
    EXPECT_TRUE(frame);
    if (frame) {
      EXPECT_EQ(frame->json.view(), R"({"id":"s","type":"write"})");
      EXPECT_EQ(frame->payload.view(), "typed");
    }
    EXPECT_FALSE(co_await reader.next()) << "the text message";
    EXPECT_FALSE(co_await reader.next()) << "nothing after the end";
  }());
}

TEST_F(WsTransportTest, PingsComeAtOnceThenEveryPeriodAndALateTickIsNotMadeUp) {
  run([this]() -> asio::awaitable<void> {
    auto pair = co_await connect();
    auto [reader, writer] = std::move(pair.server).split();
    auto& client = *pair.client;
    std::vector<std::pair<Clock::time_point, std::string>> pings;
    client.control_callback([&](websocket::frame_type kind, beast::string_view payload) {
      if (kind == websocket::frame_type::ping) pings.emplace_back(Clock::now(), std::string(payload));
    });
    beast::flat_buffer sink;
    client.async_read(sink, [](auto, auto) {});

    const auto start = Clock::now();
    EXPECT_TRUE(co_await writer.keepalive());
    const auto first = Clock::now() - start;
    EXPECT_TRUE(co_await writer.keepalive());
    const auto second = Clock::now() - start;
    // Late: the tick is due at once, and the next one a full period later.
    co_await sleep_for(500ms);
    const auto late = Clock::now();
    EXPECT_TRUE(co_await writer.keepalive());
    EXPECT_LT(Clock::now() - late, 150ms);
    EXPECT_TRUE(co_await writer.keepalive());
    EXPECT_GE(Clock::now() - late, 190ms);

    // Abandoned while waiting, the tick keeps its time.
    using namespace asio::experimental::awaitable_operators;
    const auto before = Clock::now();
    co_await (writer.keepalive() || sleep_for(50ms));
    EXPECT_TRUE(co_await writer.keepalive());
    const auto resumed = Clock::now() - before;
    EXPECT_GE(resumed, 150ms);
    EXPECT_LT(resumed, 400ms);

    EXPECT_LT(first, 150ms);
    EXPECT_GE(second, 190ms);
    EXPECT_LT(second, 450ms);
    co_await sleep_for(50ms);
    EXPECT_EQ(pings.size(), 5u);
    for (const auto& p : pings) EXPECT_EQ(p.second, "") << "an empty ping";
  }());
}

TEST_F(WsTransportTest, OverflowClosesWith1013AndFinishClosesWithoutACode) {
  run([this]() -> asio::awaitable<void> {
    for (bool overflow : {true, false}) {
      auto pair = co_await connect();
      auto [reader, writer] = std::move(pair.server).split();
      auto& client = *pair.client;
      EncodedFrame f = *quern_protocol::packet::Packet{msg::List{}, {}}.encode_parts();
      EXPECT_TRUE(co_await writer.write(f));
      beast::flat_buffer got;
      auto [ec, n] = co_await client.async_read(got, use_tuple);
      EXPECT_FALSE(ec);
      EXPECT_TRUE(client.got_binary());
      EXPECT_EQ(beast::buffers_to_string(got.data()), std::string(f.to_bytes().view())) << "one frame, one message";

      using namespace asio::experimental::awaitable_operators;
      auto close = [&]() -> asio::awaitable<void> {
        if (overflow) {
          co_await std::move(writer).overflow();
        } else {
          co_await std::move(writer).finish();
        }
      };
      beast::flat_buffer rest;
      const auto started = Clock::now();
      auto [read_ec, read_n] = co_await (close() && client.async_read(rest, use_tuple));
      EXPECT_EQ(read_ec, websocket::error::closed);
      EXPECT_LT(Clock::now() - started, 900ms) << "the client's answer completes the close";
      if (overflow) {
        EXPECT_EQ(client.reason().code, 1013);
        EXPECT_EQ(client.reason().reason, "send buffer over 8 MiB");
      } else {
        EXPECT_EQ(client.reason().code, websocket::close_code::none);
      }
    }
  }());
}

// A client's frame as it goes on the wire, masked as a client's must be.
std::string client_frame(std::uint8_t opcode, std::string_view payload) {
  const unsigned char mask[4] = {0x5a, 0xc3, 0x0f, 0x96};
  std::string frame(1, static_cast<char>(0x80 | opcode));
  if (payload.size() < 126) {
    frame += static_cast<char>(0x80 | payload.size());
  } else if (payload.size() < 65536) {
    frame += '\xfe';
    for (int shift : {8, 0}) frame += static_cast<char>(payload.size() >> shift);
  } else {
    frame += '\xff';
    for (int shift = 56; shift >= 0; shift -= 8) frame += static_cast<char>(static_cast<std::uint64_t>(payload.size()) >> shift);
  }
  frame.append(reinterpret_cast<const char*>(mask), 4);
  for (std::size_t i = 0; i < payload.size(); ++i) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
  return frame;
}

std::string client_close(std::uint16_t code, std::string_view reason = "") {
  return client_frame(0x8, std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xff)}.append(reason));
}

struct RawFrame {
  std::uint8_t opcode = 0;
  std::string payload;
  std::optional<std::uint16_t> code() const {
    if (opcode != 0x8 || payload.size() < 2) return std::nullopt;
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(payload[0]) << 8) | static_cast<std::uint8_t>(payload[1]));
  }
};

// The server's next frame, read off the socket.
asio::awaitable<RawFrame> read_raw_frame(asio::ip::tcp::socket& socket) {
  std::array<std::uint8_t, 2> head{};
  co_await asio::async_read(socket, asio::buffer(head), asio::use_awaitable);
  std::uint64_t length = head[1] & 0x7f;
  if (length >= 126) {
    std::array<std::uint8_t, 8> extended{};
    const std::size_t size = length == 126 ? 2 : 8;
    co_await asio::async_read(socket, asio::buffer(extended.data(), size), asio::use_awaitable);
    length = 0;
    for (std::size_t i = 0; i < size; ++i) length = (length << 8) | extended[i];
  }
  RawFrame frame{static_cast<std::uint8_t>(head[0] & 0x0f), std::string(length, '\0')};
  co_await asio::async_read(socket, asio::buffer(frame.payload), asio::use_awaitable);
  co_return frame;
}

TEST_F(WsTransportTest, AValidCloseCodeIsEchoedAndAnyOtherAnsweredAsAProtocolError) {
  const std::uint16_t valid[] = {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011,
                                 1012, 1013, 1014, 3000, 3999, 4000, 4999};
  const std::uint16_t invalid[] = {0, 1, 999, 1004, 1005, 1006, 1015, 1016, 2000, 2999, 5000, 5001, 65535};
  std::vector<std::pair<std::uint16_t, std::uint16_t>> cases;
  for (auto code : valid) cases.emplace_back(code, code);
  for (auto code : invalid) cases.emplace_back(code, 1002);
  run([&]() -> asio::awaitable<void> {
    for (const auto& [code, answer] : cases) {
      SCOPED_TRACE(code);
      auto pair = co_await connect();
      auto [reader, writer] = std::move(pair.server).split();
      auto& socket = pair.client->next_layer();
      const std::string close = client_close(code, "bye");
      co_await asio::async_write(socket, asio::buffer(close), asio::use_awaitable);
      EXPECT_FALSE(co_await reader.next()) << "a close ends the incoming side";
      const RawFrame got = co_await read_raw_frame(socket);
      EXPECT_EQ(got.opcode, 0x8);
      EXPECT_EQ(got.payload.size(), 2u) << "the code alone";
      EXPECT_EQ(got.code(), answer);
    }
  }());
}

TEST_F(WsTransportTest, ACloseIsAnsweredRightAfterLongFramesAndWhenItComesInPieces) {
  // Frames of every length encoding both ways before the close, and the
  // close itself sent a byte at a time.
  struct Case {
    std::uint16_t code;
    std::string reason;
    std::uint16_t answer;
  };
  const Case cases[] = {
      {1014, "gateway", 1014},
      {5000, "", 1002},
      {1014, "\xff", 1002},  // a reason that is not UTF-8
      {4000, "private", 4000},
  };
  run([&]() -> asio::awaitable<void> {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.code);
      auto pair = co_await connect();
      auto [reader, writer] = std::move(pair.server).split();
      auto& socket = pair.client->next_layer();
      for (std::size_t size : {100, 1000, 70'000}) {
        const std::string message = client_frame(0x2, frame_of(msg::Write{msg::PtyId{"s"}}, std::string(size, 'p')));
        co_await asio::async_write(socket, asio::buffer(message), asio::use_awaitable);
        auto in = co_await reader.next();
        EXPECT_TRUE(in);
        if (in) {
          EXPECT_EQ(in->payload.size(), size);
        }
        const std::string payload(size, 'q');
        EncodedFrame out_frame = *quern_protocol::packet::Packet{msg::List{}, Bytes::copy_from(payload)}.encode_parts();
        EXPECT_TRUE(co_await writer.write(std::move(out_frame)));
        const RawFrame out = co_await read_raw_frame(socket);
        EXPECT_EQ(out.opcode, 0x2);
        EXPECT_GT(out.payload.size(), size);
      }
      const std::string close = client_close(c.code, c.reason);
      for (const char byte : close) {
        co_await asio::async_write(socket, asio::buffer(&byte, 1), asio::use_awaitable);
        co_await sleep_for(2ms);
      }
      EXPECT_FALSE(co_await reader.next());
      const RawFrame got = co_await read_raw_frame(socket);
      EXPECT_EQ(got.code(), c.answer);
    }
  }());
}

TEST_F(WsTransportTest, FinishGivesUpOnAClientThatNeverAnswers) {
  run([this]() -> asio::awaitable<void> {
    auto pair = co_await connect();
    auto [reader, writer] = std::move(pair.server).split();
    const auto started = Clock::now();
    co_await std::move(writer).finish();
    const auto took = Clock::now() - started;
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 1500ms);
  }());
}

// Fills the socket's send buffer (the client reads nothing), so that the
// next write on the connection waits.
void jam(int fd) {
  const std::string block(65536, 'j');
  while (::send(fd, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
}

TEST_F(WsTransportTest, AnAbortedWriterLetsGoEvenInTheMiddleOfAPing) {
  // A ping that cannot be written (the client reads nothing) holds the
  // writer task until its abort, and no longer.
  auto pair = run(connect());
  auto [reader, writer] = std::move(pair.server).split();
  jam(pair.server_fd);
  auto out = quernd::outbound::Outbound::create(io.get_executor(), true);
  quernd::task::Task task = quernd::task::Task::spawn(io.get_executor(), quernd::conn::write_loop(std::move(writer), out));
  quern_fakes::run_for(io, 200ms, [] {});
  ASSERT_FALSE(task.finished()) << "the first ping is stuck";
  task.abort();
  EXPECT_TRUE(quern_fakes::run_until(io, [&] { return task.finished(); }, 1s));
}

// A frame whose whole size, header words and JSON text included, is `size`.
EncodedFrame frame_of_size(std::size_t size, char fill) {
  const EncodedFrame bare = *quern_protocol::packet::Packet{msg::List{}, {}}.encode_parts();
  return *quern_protocol::packet::Packet{msg::List{}, Bytes::copy_from(std::string(size - bare.size(), fill))}
              .encode_parts();
}

TEST_F(WsTransportTest, FramesWrittenTogetherAreOneMessageEachInOrder) {
  // Every length encoding of a message, on both sides of each bound.
  const EncodedFrame bare = *quern_protocol::packet::Packet{msg::List{}, {}}.encode_parts();
  const std::size_t sizes[] = {bare.size(), 125, 126, 65'535, 65'536, 300'000, 126, 125};
  std::vector<EncodedFrame> frames;
  for (std::size_t i = 0; i < std::size(sizes); ++i) frames.push_back(frame_of_size(sizes[i], static_cast<char>('a' + i)));
  run([&]() -> asio::awaitable<void> {
    auto pair = co_await connect();
    auto [reader, writer] = std::move(pair.server).split();
    auto& client = *pair.client;
    auto read_all = [&]() -> asio::awaitable<std::vector<std::string>> {
      std::vector<std::string> got;
      while (got.size() < frames.size()) {
        beast::flat_buffer b;
        auto [ec, n] = co_await client.async_read(b, use_tuple);
        if (ec) break;
        EXPECT_TRUE(client.got_binary());
        got.push_back(beast::buffers_to_string(b.data()));
      }
      co_return got;
    };
    using namespace asio::experimental::awaitable_operators;
    auto [sent, got] = co_await (writer.write_batch(frames) && read_all());
    EXPECT_TRUE(sent);
    EXPECT_EQ(got.size(), frames.size());
    for (std::size_t i = 0; i < std::min(got.size(), frames.size()); ++i) {
      EXPECT_EQ(got[i].size(), sizes[i]) << i;
      EXPECT_TRUE(got[i] == frames[i].to_bytes().view()) << "message " << i << " is frame " << i;
    }
  }());
}

TEST_F(WsTransportTest, APongWaitsForTheMessagesWrittenTogetherToEnd) {
  // The client pings while the gathered messages are stuck half-way in the
  // socket: the library's pong must not land inside one of them.
  std::vector<EncodedFrame> frames;
  for (int i = 0; i < 16; ++i) frames.push_back(frame_of_size(1 << 20, static_cast<char>('a' + i)));
  auto pair = run(connect());
  auto [reader, writer] = std::move(pair.server).split();
  auto& client = *pair.client;
  int pongs = 0;
  client.control_callback([&](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::pong) ++pongs;
  });
  std::optional<bool> sent;
  quernd::task::Task write_task = quernd::task::Task::spawn(
      io.get_executor(), [](dp::WsWriter& w, std::vector<EncodedFrame>& f, std::optional<bool>& sent) -> asio::awaitable<void> {
        sent = co_await w.write_batch(f);
      }(writer, frames, sent));
  quern_fakes::run_for(io, 100ms, [] {});
  ASSERT_FALSE(sent) << "the socket is full";
  run(client.async_ping({}, asio::use_awaitable));
  quern_fakes::run_for(io, 100ms, [] {});
  std::vector<std::string> got;
  run([&]() -> asio::awaitable<void> {
    while (got.size() < frames.size()) {
      beast::flat_buffer b;
      auto [ec, n] = co_await client.async_read(b, use_tuple);
      EXPECT_FALSE(ec) << ec.message();
      if (ec) break;
      got.push_back(beast::buffers_to_string(b.data()));
    }
  }());
  EXPECT_TRUE(quern_fakes::run_until(io, [&] { return sent.has_value(); }, 2s));
  EXPECT_EQ(sent, std::optional<bool>(true));
  ASSERT_EQ(got.size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_TRUE(got[i] == frames[i].to_bytes().view()) << i;
  // The pong comes after the messages, read by the next read.
  run([&]() -> asio::awaitable<void> {
    using namespace asio::experimental::awaitable_operators;
    beast::flat_buffer b;
    co_await (client.async_read(b, use_tuple) || sleep_for(500ms));
  }());
  EXPECT_EQ(pongs, 1);
}

TEST_F(WsTransportTest, ALargeMessageIsReadInPiecesWithOtherTasksBetween) {
  // The whole message waits in the socket before the reading starts: it is
  // still taken a bounded piece per turn, each piece unmasked on its own.
  constexpr std::size_t size = 8 * dp::READ_PIECE;
  const EncodedFrame frame = frame_of_size(size, 'x');
  const std::string message = client_frame(0x2, std::string(frame.to_bytes().view()));
  auto pair = run(connect());
  const int room = 4 * static_cast<int>(message.size());
  if (::setsockopt(pair.server_fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
    GTEST_SKIP() << "this user cannot raise a socket's receive buffer";
  auto& raw = beast::get_lowest_layer(*pair.client);
  run(asio::async_write(raw, asio::buffer(message), asio::use_awaitable));
  int queued = 0;
  quern_fakes::run_until(io, [&] {
    ::ioctl(pair.server_fd, FIONREAD, &queued);
    return queued == static_cast<int>(message.size());
  }, 5s);
  if (queued != static_cast<int>(message.size())) GTEST_SKIP() << "the kernel queued " << queued << " bytes only";

  auto [reader, writer] = std::move(pair.server).split();
  std::size_t turns = 0;
  bool read = false;
  quernd::task::Task ticker = quernd::task::Task::spawn(io.get_executor(), [](std::size_t& turns, bool& read) -> asio::awaitable<void> {
    while (!read) {
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
      ++turns;
    }
  }(turns, read));
  auto got = run([&]() -> asio::awaitable<std::optional<quern_protocol::frame::Frame>> {
    auto f = co_await reader.next();
    read = true;
    co_return f;
  }());
  ASSERT_TRUE(got);
  EXPECT_EQ(got->payload.size(), frame.payload.size());
  EXPECT_GE(turns, size / dp::READ_PIECE - 2) << "other tasks ran between the pieces";
}

TEST_F(WsTransportTest, PingsGoOutWhileFramesKeepTheQueueBusy) {
  // A due tick competes with queued frames: a busy connection still pings.
  auto pair = run(connect());
  auto [reader, writer] = std::move(pair.server).split();
  auto& client = *pair.client;
  int pings = 0;
  client.control_callback([&](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::ping) ++pings;
  });
  // Small socket buffers keep the frames in flight few, whichever side is
  // the faster.
  const int small = 16384;
  ::setsockopt(pair.server_fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(client.next_layer().native_handle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  auto out = quernd::outbound::Outbound::create(io.get_executor(), true);
  quernd::task::Task task = quernd::task::Task::spawn(io.get_executor(), quernd::conn::write_loop(std::move(writer), out));
  std::size_t received = 0;
  bool reading = true;
  quernd::task::Task reader_task = quernd::task::Task::spawn(
      io.get_executor(), [](ClientStream& c, std::size_t& n, bool& reading) -> asio::awaitable<void> {
        beast::flat_buffer b;
        for (;;) {
          auto [ec, got] = co_await c.async_read(b, use_tuple);
          if (ec) break;
          b.consume(got);
          ++n;
        }
        reading = false;
      }(client, received, reading));
  const EncodedFrame frame = *quern_protocol::packet::Packet{msg::List{}, {}}.encode_parts();
  const auto until = Clock::now() + 1100ms;
  quern_fakes::run_until(io, [&] {
    while (out->bytes() < 4096) (void)out->try_push(frame);
    return Clock::now() >= until;
  }, 2s);
  EXPECT_TRUE(reading);
  // A ping may still be behind frames in the socket when the client is the
  // slower side: it reads on up to the close, after which no ping leaves.
  out->close();
  EXPECT_TRUE(quern_fakes::run_until(io, [&] { return task.finished() && !reading; }, 5s));
  EXPECT_GE(pings, 4) << "one at once, then every 200 ms";
  EXPECT_GT(received, 100u);
}

}  // namespace
