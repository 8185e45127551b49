#include "attach.hpp"

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
namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using quern_fakes::frame_bytes;
using quern_fakes::RawPeer;
using quern_fakes::run_until;
using quern_protocol::Bytes;
using quern_protocol::frame::EncodedFrame;
using quern_protocol::frame::Frame;
using quernd::outbound::ADMISSION_THRESHOLD;
using quernd::outbound::HARD_LIMIT;
using quernd::outbound::Outbound;
using quernd::outbound::Popped;
using quernd::task::Task;

// A frame of exactly `n` bytes (not a message); payloads share one buffer.
EncodedFrame sized(std::size_t n) {
  static const Bytes zeros = Bytes::build(HARD_LIMIT, [](std::uint8_t* p) {
    for (std::size_t i = 0; i < HARD_LIMIT; ++i) p[i] = 0;
  });
  return EncodedFrame{Bytes::copy_from(std::string_view("\0\0\0\0\0\0\0\0", 8)), zeros.slice(0, n - 8)};
}

// A client's frame as the connection task has it: decoded from its bytes.
Frame decoded(const std::string& bytes) {
  Bytes b = Bytes::copy_from(bytes);
  auto f = quern_protocol::frame::decode_frame_bytes(b);
  if (!f || !*f) throw std::logic_error("not a whole frame");
  return std::move(**f);
}

std::string bytes_of(const EncodedFrame& f) { return std::string(f.to_bytes().view()); }

msg::Message message_in(const EncodedFrame& f) {
  auto m = quern_protocol::control::message_of(decoded(bytes_of(f)));
  if (!m) throw std::logic_error("not a message");
  return std::move(*m);
}

msg::Message error_msg(const char* id, const char* text) {
  return msg::Error{msg::PtyId{id}, text};
}

// Messages in their one-line debug form, which shows every field: compared
// as such, failures print readably.
std::string debug_all(const std::vector<msg::Message>& messages) {
  std::string out;
  for (const auto& m : messages) out += m.debug() + "; ";
  return out;
}

std::string output_json(std::uint64_t sequence, const std::string& id = "s1") {
  // Members out of order on purpose: relaying must keep the text as it came.
  return R"({"sequence":)" + std::to_string(sequence) + R"(,"type":"output","epoch":0,"id":")" + id + R"("})";
}

std::string write_bytes(std::size_t payload, char fill = 'w') {
  return frame_bytes(R"({"type":"write","id":"s1"})", std::string(payload, fill));
}

class Conn : public ::testing::Test {
 protected:
  Conn() { ::signal(SIGPIPE, SIG_IGN); }
  ~Conn() override {
    // The pumps go before the queue and the peers.
    in_loop([&] { table.clear(); });
  }

  void attach(bool lossy = false) {
    out = Outbound::create(io.get_executor(), lossy);
    auto [peer, socket] = RawPeer::pair(io);
    shim.emplace(std::move(peer));
    auto [r, w] = quern_session::wire::split(std::move(socket));
    table.emplace(id, conn::attach(quernd::wire::Connection{quern_session::wire::Reader(std::move(r)), std::move(w)}, out));
  }
  conn::Attached& attached() { return table.at(id); }

  // Runs `fn` inside the loop, as the daemon's own tasks run.
  void in_loop(std::function<void()> fn) {
    bool done = false;
    asio::post(io, [&] {
      fn();
      done = true;
    });
    run_until(io, [&] { return done; });
    io.restart();
    io.poll();
  }
  // Runs the loop for a while with the shim polled.
  void run_a_while(std::chrono::milliseconds span = 30ms) {
    quern_fakes::run_for(io, span, [&] { shim->poll(); });
  }
  bool run_until_shim(std::function<bool()> done) {
    return run_until(io, [&] { shim->poll(); return done(); });
  }

  std::vector<msg::Message> shim_messages() {
    std::vector<msg::Message> got;
    for (const auto& f : shim->frames()) {
      auto m = msg::Message::deserialize(f.json);
      got.push_back(m ? std::move(*m) : msg::Message(msg::Error{std::nullopt, "undecodable"}));
    }
    return got;
  }
  std::size_t count_at_shim(const msg::Message& m) {
    auto got = shim_messages();
    return static_cast<std::size_t>(std::count(got.begin(), got.end(), m));
  }
  std::vector<Popped> pop_all() {
    std::vector<Popped> got;
    while (out->bytes() > 0) got.push_back(*out->try_pop());
    return got;
  }

  std::optional<EncodedFrame> forward(const std::string& bytes) {
    return conn::forward(table, *out, id, decoded(bytes));
  }

  asio::io_context io;
  std::shared_ptr<Outbound> out;
  std::optional<RawPeer> shim;
  conn::Attachments table;
  msg::PtyId id{"s1"};
};

// ---- forwarding ---------------------------------------------------------------

TEST_F(Conn, TheShimFirstReceivesTheClientsOwnAttachByteForByte) {
  attach();
  const std::string sent = frame_bytes(
      R"({ "type":"attach", "rows":24,"cols":80, "id":"s1", "argv":["sh"], "env":{"B":"2","A":"\u0031"} })",
      "tail");
  EXPECT_FALSE(forward(sent));
  ASSERT_TRUE(run_until_shim([&] { return shim->received().size() >= sent.size(); }));
  EXPECT_EQ(shim->received(), sent);
}

TEST_F(Conn, InputForASessionNotAttachedHereIsAnsweredNotAttached) {
  attach();
  auto reply = conn::forward(table, *out, msg::PtyId{"other"}, decoded(write_bytes(3)));
  ASSERT_TRUE(reply);
  EXPECT_EQ(message_in(*reply).debug(), error_msg("other", "not attached").debug());
  EXPECT_EQ(out->bytes(), 0u) << "the reply is the caller's to queue";
}

TEST_F(Conn, AFullInputChannelIsReportedOncePerCongestion) {
  attach();
  shim->reading(false);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // A write the shim does not read jams the pump; 32 more fill the channel.
    EXPECT_FALSE(forward(write_bytes(1 << 20, 'j')));
    run_a_while();
    for (int i = 0; i < 32; ++i) EXPECT_FALSE(forward(write_bytes(4, static_cast<char>('a' + i))));
    EXPECT_EQ(out->bytes(), 0u);
    EXPECT_FALSE(attached().congested);

    for (int i = 0; i < 3; ++i) EXPECT_FALSE(forward(write_bytes(4, 'X')));
    EXPECT_TRUE(attached().congested);
    auto reports = pop_all();
    ASSERT_EQ(reports.size(), 1u) << "one report for the whole congestion";
    EXPECT_EQ(message_in(std::get<EncodedFrame>(reports[0])).debug(), error_msg("s1", "input queue full").debug());

    // The shim reads again: everything accepted arrives in order, nothing else.
    const std::size_t before = shim->frames().size();
    shim->reading(true);
    ASSERT_TRUE(run_until_shim([&] { return shim->frames().size() == before + 33; }));
    run_a_while(10ms);
    ASSERT_EQ(shim->frames().size(), before + 33);
    EXPECT_EQ(shim->frames()[before].payload, std::string(1 << 20, 'j'));
    for (int i = 0; i < 32; ++i)
      EXPECT_EQ(shim->frames()[before + 1 + i].payload, std::string(4, static_cast<char>('a' + i)));

    // An accepted frame ends the congestion.
    EXPECT_FALSE(forward(write_bytes(1)));
    EXPECT_FALSE(attached().congested);
    ASSERT_TRUE(run_until_shim([&] { return shim->frames().size() == before + 34; }));
    shim->reading(false);
  }
}

TEST_F(Conn, AReportThatTheClientQueueRefusesIsLostAndStillCounts) {
  attach();
  shim->reading(false);
  ASSERT_TRUE(out->try_push(sized(ADMISSION_THRESHOLD + 1)));
  EXPECT_FALSE(forward(write_bytes(1 << 20)));
  run_a_while();
  for (int i = 0; i < 33; ++i) EXPECT_FALSE(forward(write_bytes(4)));
  EXPECT_TRUE(attached().congested);
  EXPECT_EQ(out->bytes(), ADMISSION_THRESHOLD + 1) << "the report is lost";

  // Room in the queue does not bring the report back: still congested.
  pop_all();
  EXPECT_FALSE(forward(write_bytes(4)));
  EXPECT_EQ(out->bytes(), 0u);
}

TEST_F(Conn, InputWithNothingBehindItIsWrittenToTheShimBeforeForwardReturns) {
  for (const auto when : {quernd::sync::Wake::now, quernd::sync::Wake::later}) {
    const bool now = when == quernd::sync::Wake::now;
    SCOPED_TRACE(now ? "now" : "later");
    attach();
    run_a_while(5ms);
    std::size_t at_once = 0;
    in_loop([&] {
      EXPECT_FALSE(conn::forward(table, *out, id, decoded(write_bytes(10)), when));
      shim->poll();
      at_once = shim->frames().size();
    });
    EXPECT_EQ(at_once, now ? 1u : 0u);
    ASSERT_TRUE(run_until_shim([&] { return shim->frames().size() == 1; }));
    table.clear();
  }
}

TEST_F(Conn, AfterTheToShimPumpHasEndedInputIsRefused) {
  // The shim stops reading but still sends: the session stays attached.
  attach();
  shim->shutdown_receive();
  EXPECT_FALSE(forward(write_bytes(10)));
  ASSERT_TRUE(run_until(io, [&] { return attached().to_shim.finished(); })) << "the write fails";
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(forward(write_bytes(10)));
  auto reports = pop_all();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(message_in(std::get<EncodedFrame>(reports[0])).debug(), error_msg("s1", "input queue full").debug());

  shim->send(frame_bytes(output_json(1)));
  ASSERT_TRUE(run_until_shim([&] { return out->bytes() > 0; })) << "output still comes";
  EXPECT_FALSE(attached().ended());
}

struct GoneCase {
  const char* name;
  std::function<void(RawPeer&)> go;
  std::size_t relayed;  // frames relayed before the end
};
void PrintTo(const GoneCase& c, std::ostream* os) { *os << c.name; }

class ShimGone : public Conn, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(ShimGone, EndsTheAttachmentAndInputIsNotAttached) {
  // Once nothing comes from the shim and nothing can reach it, the session
  // is no longer attached here: input is answered "not attached" and the
  // entry is gone from the table, so a new attach opens the session again.
  const auto& c = GetParam();
  attach();
  Task to_shim = attached().to_shim;
  c.go(*shim);
  ASSERT_TRUE(run_until_shim([&] { return attached().from_shim.finished(); }));
  EXPECT_TRUE(attached().ended());
  EXPECT_EQ(pop_all().size(), c.relayed);

  // Inside the loop, as the connection task forwards: the ended entry goes.
  std::optional<EncodedFrame> reply;
  in_loop([&] { reply = forward(write_bytes(3)); });
  ASSERT_TRUE(reply);
  EXPECT_EQ(message_in(*reply).debug(), error_msg("s1", "not attached").debug());
  EXPECT_FALSE(table.contains(id));
  EXPECT_EQ(out->bytes(), 0u) << "no input queue full";
  EXPECT_TRUE(run_until(io, [&] { return to_shim.finished(); })) << "the to-shim pump ends too";
}

INSTANTIATE_TEST_SUITE_P(
    Shims, ShimGone,
    ::testing::Values(GoneCase{"closes", [](RawPeer& p) { p.close(); }, 0},
                      GoneCase{"sends_output_then_closes",
                               [](RawPeer& p) {
                                 p.send(frame_bytes(output_json(1)));
                                 p.close();
                               },
                               1},
                      GoneCase{"shuts_down_both_ways",
                               [](RawPeer& p) {
                                 p.shutdown_send();
                                 p.shutdown_receive();
                               },
                               0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- relaying from the shim ---------------------------------------------

TEST_F(Conn, OnlyOutputExitedListedAndErrorAreRelayedAsTheyCame) {
  attach();
  const std::vector<std::pair<std::string, bool>> sent = {
      {frame_bytes(output_json(1), "terminal bytes"), true},
      {frame_bytes(R"({"type":"welcome","version":1})"), false},
      {frame_bytes(R"({"type":"hello","versions":[1]})"), false},
      {frame_bytes(R"({"type":"write","id":"s1"})", "typed"), false},
      {frame_bytes(R"({"type":"listed","entries":[]})"), true},
      {frame_bytes(R"({"type":"pause","id":"s1"})"), false},
      {frame_bytes(R"({"type":"exited","id":"s1","epoch":0,"sequence":2,"code":0,"signal":null})"), true},
      {frame_bytes(R"({"type":"detach","id":"s1"})"), false},
      {frame_bytes(R"({"message":"boom","type":"error","id":null})"), true},
      {frame_bytes(output_json(3), std::string(70'000, 'o')), true},
  };
  std::vector<std::string> relayed;
  std::size_t expected_bytes = 0;
  for (const auto& [bytes, kept] : sent) {
    shim->send(bytes);
    if (kept) {
      relayed.push_back(bytes);
      expected_bytes += bytes.size();
    }
  }
  ASSERT_TRUE(run_until_shim([&] { return out->bytes() == expected_bytes; }));
  run_a_while(10ms);
  auto got = pop_all();
  ASSERT_EQ(got.size(), relayed.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(bytes_of(std::get<EncodedFrame>(got[i])), relayed[i]);
  EXPECT_FALSE(attached().from_shim.finished());
}

TEST_F(Conn, FramesFromTheShimArePassedOnAsViewsOfItsReceiveBuffer) {
  attach();
  std::string sent;
  for (std::uint64_t i = 0; i < 3; ++i) sent += frame_bytes(output_json(i), std::string(100, 'o'));
  shim->send(sent);
  ASSERT_TRUE(run_until_shim([&] { return out->bytes() == sent.size(); }));
  auto got = pop_all();
  ASSERT_EQ(got.size(), 3u);
  std::string relayed;
  for (const auto& popped : got) {
    const auto& frame = std::get<EncodedFrame>(popped);
    relayed += bytes_of(frame);
    // Nothing copied: head and payload share the buffer, back to back.
    EXPECT_TRUE(frame.head.shares_storage_with(frame.payload));
    EXPECT_EQ(frame.head.data() + frame.head.size(), frame.payload.data());
  }
  EXPECT_EQ(relayed, sent);
}

TEST_F(Conn, AQueuedFrameKeepsAliveLittleMoreThanItself) {
  // Tiny output frames that arrive in the receive buffer of a large frame of
  // a dropped kind are copied out; the queue then holds what it counts.
  attach();
  const std::string big = frame_bytes(R"({"type":"welcome","version":1})", std::string(2 << 20, 'w'));
  std::size_t expected_bytes = 0;
  for (int i = 0; i < 4; ++i) {
    const std::string tiny = frame_bytes(output_json(static_cast<std::uint64_t>(i)), "x");
    shim->send(big + tiny);
    expected_bytes += tiny.size();
  }
  ASSERT_TRUE(run_until_shim([&] { return out->bytes() == expected_bytes; }));
  auto got = pop_all();
  ASSERT_EQ(got.size(), 4u);
  for (const auto& popped : got) {
    const auto& frame = std::get<EncodedFrame>(popped);
    EXPECT_EQ(frame.payload.view(), "x");
    EXPECT_LE(frame.payload.storage() + frame.head.storage(), 4096u);
  }
}

struct StopCase {
  const char* name;
  std::string bytes;  // what the shim sends before a good output frame
  bool end_stream;
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class RelayStops : public Conn, public ::testing::WithParamInterface<StopCase> {};

TEST_P(RelayStops, ForGoodWhileInputStillReachesTheShim) {
  const auto& c = GetParam();
  attach();
  shim->send(c.bytes);
  if (c.end_stream) {
    shim->shutdown_send();
  } else {
    shim->send(frame_bytes(output_json(1)));
  }
  ASSERT_TRUE(run_until(io, [&] { return attached().from_shim.finished(); }));
  EXPECT_EQ(out->bytes(), 0u);

  const std::string input = write_bytes(5);
  EXPECT_FALSE(forward(input));
  ASSERT_TRUE(run_until_shim([&] { return shim->received().size() >= input.size(); }));
  EXPECT_EQ(shim->received(), input);
}

INSTANTIATE_TEST_SUITE_P(
    Shims, RelayStops,
    ::testing::Values(StopCase{"not_a_message", frame_bytes(R"({"type":"nonsense"})"), false},
                      StopCase{"not_json", frame_bytes("{{{"), false},
                      StopCase{"header_over_the_cap", std::string("\xff\xff\xff\xff\0\0\0\0", 8), false},
                      StopCase{"end_of_stream", "", true},
                      StopCase{"end_inside_a_frame", frame_bytes(output_json(1)).substr(0, 10), true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- flow control -----------------------------------------------------------

struct ThresholdCase {
  const char* name;
  std::size_t queued;
  bool paused;
};
void PrintTo(const ThresholdCase& c, std::ostream* os) { *os << c.name; }

class Threshold : public Conn, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(Threshold, DecidesOnTheBytesQueuedBeforeTheFrame) {
  // Any frame goes in at once up to 1 MiB queued; above it the shim is paused
  // with the refused frame's id, the frame is queued all the same, and the
  // shim is resumed only once the client has taken everything.
  const auto& c = GetParam();
  attach();
  ASSERT_TRUE(out->try_push(sized(c.queued)));
  const std::string big = frame_bytes(output_json(7), std::string(2 << 20, 'b'));
  shim->send(big);
  ASSERT_TRUE(run_until_shim([&] { return out->bytes() == c.queued + big.size(); }));
  const msg::Message pause = msg::Pause{id}, resume = msg::Resume{id};
  // What must arrive is waited for; what must not is given a while to show.
  if (c.paused) {
    ASSERT_TRUE(run_until_shim([&] { return count_at_shim(pause) == 1u; }));
  }
  run_a_while();
  EXPECT_EQ(count_at_shim(pause), c.paused ? 1u : 0u) << debug_all(shim_messages());
  EXPECT_EQ(count_at_shim(resume), 0u);

  auto first = out->try_pop();
  run_a_while();
  EXPECT_EQ(count_at_shim(resume), 0u) << "the queue is not empty yet";
  auto second = out->try_pop();
  EXPECT_EQ(bytes_of(std::get<EncodedFrame>(*second)), big);
  if (c.paused) {
    ASSERT_TRUE(run_until_shim([&] { return count_at_shim(resume) == 1u; }));
  }
  run_a_while();
  EXPECT_EQ(count_at_shim(resume), c.paused ? 1u : 0u);
  if (c.paused) {
    EXPECT_EQ(debug_all(shim_messages()), debug_all({pause, resume}));
  }
}

INSTANTIATE_TEST_SUITE_P(Boundary, Threshold,
                         ::testing::Values(ThresholdCase{"at_1MiB", ADMISSION_THRESHOLD, false},
                                           ThresholdCase{"one_byte_over", ADMISSION_THRESHOLD + 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Conn, ThePausePairKeepsTheIdOfTheFirstRefusedFrame) {
  attach();
  const msg::Message pause = msg::Pause{msg::PtyId{""}}, resume = msg::Resume{msg::PtyId{""}};
  const std::vector<std::string> refused = {frame_bytes(R"({"type":"listed","entries":[]})"),
                                            frame_bytes(output_json(1))};
  for (std::size_t i = 0; i < refused.size(); ++i) {
    ASSERT_TRUE(out->try_push(sized(ADMISSION_THRESHOLD + 1)));
    shim->send(refused[i]);
    ASSERT_TRUE(run_until_shim([&] { return count_at_shim(pause) == i + 1; }));
    pop_all();
    ASSERT_TRUE(run_until_shim([&] { return count_at_shim(resume) == i + 1; }));
  }
  EXPECT_EQ(debug_all(shim_messages()), debug_all({pause, resume, pause, resume}));
}

TEST_F(Conn, ARefusedFrameWaitsForRoomWithinEightMiB) {
  attach();
  ASSERT_TRUE(out->try_push(sized(HARD_LIMIT)));
  const std::string small = frame_bytes(output_json(1));
  shim->send(small);
  ASSERT_TRUE(run_until_shim([&] { return count_at_shim(msg::Pause{id}) == 1; }));
  run_a_while();
  EXPECT_EQ(out->bytes(), HARD_LIMIT) << "the frame waits for room";

  out->try_pop();
  ASSERT_TRUE(run_until(io, [&] { return out->bytes() == small.size(); }));
  run_a_while();
  EXPECT_EQ(count_at_shim(msg::Resume{id}), 0u);
  EXPECT_EQ(bytes_of(std::get<EncodedFrame>(*out->try_pop())), small);
  ASSERT_TRUE(run_until_shim([&] { return count_at_shim(msg::Resume{id}) == 1; }));
}

TEST_F(Conn, AFloodReachesASlowClientWholeAndInOrder) {
  // The client stops reading while the shim floods: the shim is paused once
  // more than 1 MiB waits, the queue stays near that mark, and when the
  // client reads again every frame arrives once, in order, and the shim is
  // resumed.
  attach();
  auto [client, socket] = RawPeer::pair(io);
  auto [client_r, client_w] = quernd::transport::UnixStream(std::move(socket)).split();
  Task writer = Task::spawn(io.get_executor(), conn::write_loop(std::move(client_w), out));
  client.reading(false);

  constexpr int frames = 48;
  constexpr std::size_t payload = 64 * 1024;
  std::string flood;
  for (int i = 0; i < frames; ++i) flood += frame_bytes(output_json(i), std::string(payload, static_cast<char>('A' + i % 26)));
  shim->send(flood);

  std::size_t most = 0;
  auto poll_all = [&] {
    shim->poll();
    client.poll();
    most = std::max(most, out->bytes());
  };
  ASSERT_TRUE(run_until(io, [&] { poll_all(); return count_at_shim(msg::Pause{id}) == 1; }));
  quern_fakes::run_for(io, 50ms, poll_all);
  EXPECT_EQ(count_at_shim(msg::Resume{id}), 0u) << "no resume while the client does not read";
  EXPECT_GT(shim->pending(), 0u) << "the pump has stopped reading the shim";

  client.reading(true);
  ASSERT_TRUE(run_until(io, [&] { poll_all(); return client.frames().size() == frames; }));
  ASSERT_TRUE(run_until(io, [&] {
    poll_all();
    auto got = shim_messages();
    return !got.empty() && got.back() == msg::Message(msg::Resume{id});
  }));
  EXPECT_LE(most, ADMISSION_THRESHOLD + 2 * (payload + 100));

  for (int i = 0; i < frames; ++i) {
    EXPECT_EQ(client.frames()[i].json, output_json(i));
    EXPECT_EQ(client.frames()[i].payload, std::string(payload, static_cast<char>('A' + i % 26)));
  }
  auto at_shim = shim_messages();
  for (std::size_t i = 0; i < at_shim.size(); ++i)
    EXPECT_EQ(at_shim[i].debug(), (i % 2 == 0 ? msg::Message(msg::Pause{id}) : msg::Message(msg::Resume{id})).debug());

  out->close();
  EXPECT_TRUE(run_until(io, [&] { client.poll(); return writer.finished() && client.eof(); }));
}

TEST_F(Conn, AClosedClientQueueEndsThePumpAtItsFirstRefusal) {
  attach();
  out->close();  // as a failed writer task does
  constexpr std::size_t payload = 64 * 1024;
  std::string flood;
  for (int i = 0; i < 40; ++i) flood += frame_bytes(output_json(i), std::string(payload, 'f'));
  shim->send(flood);
  ASSERT_TRUE(run_until_shim([&] { return attached().from_shim.finished(); }));
  const std::size_t one = frame_bytes(output_json(10), std::string(payload, 'f')).size();
  EXPECT_GT(out->bytes(), ADMISSION_THRESHOLD) << "try_push still takes frames after the close";
  EXPECT_LE(out->bytes(), ADMISSION_THRESHOLD + one);
  run_a_while();
  EXPECT_EQ(debug_all(shim_messages()), debug_all({msg::Pause{id}}));
}

// ---- detaching ----------------------------------------------------------------

TEST_F(Conn, DetachStopsBothPumpsAndTheShimSeesTheEndOfItsInput) {
  attach();
  auto from_shim = attached().from_shim, to_shim = attached().to_shim;
  in_loop([&] { table.erase(id); });
  EXPECT_TRUE(from_shim.finished());
  EXPECT_TRUE(to_shim.finished());
  ASSERT_TRUE(run_until_shim([&] { return shim->eof(); }));
  shim->send(frame_bytes(output_json(1)));
  run_a_while();
  EXPECT_EQ(out->bytes(), 0u);
  EXPECT_TRUE(shim->received().empty());
}

TEST_F(Conn, DetachDuringAWaitingPushLosesTheFrameAndRunsNoMore) {
  attach();
  ASSERT_TRUE(out->try_push(sized(HARD_LIMIT)));
  shim->send(frame_bytes(output_json(1)));
  ASSERT_TRUE(run_until_shim([&] { return count_at_shim(msg::Pause{id}) == 1; }));
  run_a_while();
  auto from_shim = attached().from_shim;
  ASSERT_FALSE(from_shim.finished());

  // Room appears in the very step that detaches: the aborted pump must not
  // go on to queue its frame.
  in_loop([&] {
    out->try_pop();
    table.erase(id);
  });
  EXPECT_TRUE(from_shim.finished());
  run_a_while();
  EXPECT_EQ(out->bytes(), 0u);
  ASSERT_TRUE(run_until_shim([&] { return shim->eof(); }));
  EXPECT_EQ(debug_all(shim_messages()), debug_all({msg::Pause{id}})) << "no resume follows";
}

}  // namespace
