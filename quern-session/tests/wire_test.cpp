#include "quern_session/wire.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <sys/socket.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "quern_protocol/control.hpp"

#include <sys/ioctl.h>

namespace quern_session::wire {
namespace {

namespace msg = quern_protocol::message;
namespace control = quern_protocol::control;
using control::answer_hello;
using control::message_of;
using namespace std::chrono_literals;
using asio::experimental::awaitable_operators::operator||;
using asio::experimental::awaitable_operators::operator&&;
using quern_protocol::Bytes;
using quern_protocol::frame::FRAME_CAP;

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

// A frame's bytes, built by hand: totalLen, jsonLen, JSON text, payload.
std::string frame_bytes(std::string_view json, std::string_view payload = "",
                        std::optional<std::uint32_t> total = std::nullopt) {
  auto word = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  auto total_len = total.value_or(static_cast<std::uint32_t>(4 + json.size() + payload.size()));
  return word(total_len) + word(static_cast<std::uint32_t>(json.size())) + std::string(json) +
         std::string(payload);
}

Frame frame_of(std::string_view json, std::string_view payload = "") {
  return Frame{Bytes::copy_from(json), Bytes::copy_from(payload)};
}

// A reader on one end of a socket pair, and the raw peer end.
struct Pair {
  asio::io_context io;
  Socket peer{io};
  std::optional<Reader> reader;
  std::optional<WriteHalf> writer;

  Pair() {
    Socket ours(io);
    asio::local::connect_pair(ours, peer);
    auto [r, w] = split(std::move(ours));
    reader.emplace(std::move(r));
    writer.emplace(std::move(w));
  }

  void send(std::string_view bytes) { asio::write(peer, asio::buffer(bytes)); }

  // Runs `task` on the io_context until it is done (at most `limit`).
  template <class T>
  T run(asio::awaitable<T> task, std::chrono::milliseconds limit = 10s) {
    std::optional<T> result;
    std::exception_ptr failure;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
      failure = e;
      if (!e) result.emplace(std::move(value));
    });
    io.restart();
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!result && !failure && std::chrono::steady_clock::now() < deadline) io.run_one_for(100ms);
    if (failure) std::rethrow_exception(failure);
    if (!result) throw std::runtime_error("task did not finish in time");
    return std::move(*result);
  }
};

// Writes `bytes` one byte at a time, pausing between bytes.
asio::awaitable<bool> trickle(Socket& peer, std::string bytes) {
  asio::steady_timer pause(peer.get_executor());
  for (char c : bytes) {
    auto [ec, n] = co_await asio::async_write(peer, asio::buffer(&c, 1), use_tuple);
    if (ec) co_return false;
    pause.expires_after(1ms);
    co_await pause.async_wait(use_tuple);
  }
  co_return true;
}

asio::awaitable<std::tuple<std::expected<std::optional<Frame>, WireError>, bool>> frame_while_writing(
    Reader& reader, Socket& peer, std::string bytes) {
  co_return co_await (reader.next_frame() && trickle(peer, std::move(bytes)));
}

TEST(MessageOf, DecodesTheJsonTextOnly) {
  EXPECT_EQ(message_of(frame_of(R"({"type":"list"})", "ignored payload")), Message(msg::List{}));
  EXPECT_EQ(message_of(frame_of(R"(["welcome",1])")), Message(msg::Welcome{1}));
  for (std::string_view bad : {"", "{}", R"({"type":"nope"})", R"({"type":"list"}x)", "\xff"}) {
    EXPECT_EQ(message_of(frame_of(bad)), std::nullopt) << bad;
  }
}

TEST(AnswerHello, WelcomesVersionOneOrNamesTheMismatch) {
  struct Case {
    std::vector<std::uint32_t> offer;
    Message reply;
  } cases[] = {
      {{1}, msg::Welcome{1}},
      {{3, 1}, msg::Welcome{1}},
      {{1, 1}, msg::Welcome{1}},
      {{}, msg::Error{std::nullopt, "no protocol version in common: peer speaks [], this build [1]"}},
      {{2, 3},
       msg::Error{std::nullopt, "no protocol version in common: peer speaks [2, 3], this build [1]"}},
  };
  for (const auto& c : cases) EXPECT_EQ(answer_hello(c.offer), c.reply) << c.reply.debug();
}

TEST(Control, EncodesCompactJsonWithAnEmptyPayload) {
  EncodedFrame f = control::encode(msg::Welcome{1});
  EXPECT_EQ(f.head.view(), frame_bytes(R"({"type":"welcome","version":1})"));
  EXPECT_TRUE(f.payload.empty());
}

TEST(Control, ReplacesAMessageTooLargeForAFrame) {
  std::string huge(9'000'000, 'x');
  // {"id":null,"message":"<huge>","type":"error"} is 39 bytes plus the text.
  EncodedFrame f = control::encode(msg::Error{std::nullopt, huge});
  ASSERT_GT(f.head.size(), 8u);
  auto reply = Message::deserialize(f.head.view().substr(8));
  ASSERT_TRUE(reply) << reply.error().what();
  EXPECT_EQ(*reply, Message(msg::Error{std::nullopt,
                                       "reply withheld: frame too large: totalLen 9000043 exceeds the "
                                       "8388608-byte cap"}));
  EXPECT_TRUE(f.payload.empty());
}

TEST(WireErrorText, ShowsEachVariant) {
  struct Case {
    WireError error;
    std::string text;
  } cases[] = {
      {{WireError::Io{OsError::from_errno(ECONNRESET)}}, "Connection reset by peer (os error 104)"},
      {{WireError::Frame{{quern_protocol::frame::TooSmall{3}}}},
       "frame too small: totalLen 3 cannot hold a jsonLen word"},
      {{WireError::Undecodable{{"missing field `versions`"}}},
       "undecodable message: missing field `versions`"},
      {{WireError::Closed{}}, "peer closed"},
      {{WireError::Unexpected{msg::Listed{}, "Welcome"}},
       "peer answered Listed { entries: [] } where Welcome was expected"},
      {{WireError::Timeout{2000ms}}, "no reply within 2000ms"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.what(), c.text);
}

TEST(Reader, ReturnsTwoFramesOfOneWriteWithOneRead) {
  Pair p;
  p.send(frame_bytes(R"({"type":"list"})", "ab") + frame_bytes(R"({"type":"detach","id":"a"})"));
  auto first = p.run(p.reader->next_frame());
  ASSERT_TRUE(first && *first);
  // The peer sends nothing more: the second frame comes from the buffer.
  auto second = p.run(p.reader->next_frame());
  ASSERT_TRUE(second && *second);
  EXPECT_EQ((*first)->json.view(), R"({"type":"list"})");
  EXPECT_EQ((*first)->payload.view(), "ab");
  EXPECT_EQ((*second)->json.view(), R"({"type":"detach","id":"a"})");
  EXPECT_TRUE((*second)->payload.empty());
  // Both are views of the reader's one receive buffer.
  EXPECT_TRUE((*second)->json.shares_storage_with((*first)->json));
}

TEST(Reader, TellsWhetherMoreIsAtHand) {
  const std::string list = frame_bytes(R"({"type":"list"})");
  {
    SCOPED_TRACE("two frames in one read, then nothing");
    Pair p;
    p.send(list + list);
    ASSERT_TRUE(p.run(p.reader->next_frame()));
    EXPECT_TRUE(p.reader->has_more()) << "the second frame is buffered";
    ASSERT_TRUE(p.run(p.reader->next_frame()));
    EXPECT_FALSE(p.reader->has_more()) << "the read was short: the socket is empty";
  }
  {
    SCOPED_TRACE("a read that filled the buffer");
    Pair p;
    ReadHalf half = std::move(p.reader->inner);
    p.reader.emplace(std::move(half), list.size());
    p.send(list + list);
    ASSERT_TRUE(p.run(p.reader->next_frame()));
    EXPECT_TRUE(p.reader->has_more()) << "the socket may hold more";
  }
}

TEST(Reader, ReturnsAFrameFedByteByByteOnceWhole) {
  Pair p;
  std::string bytes = frame_bytes(R"({"type":"write","id":"x"})", "typed");
  auto [f, wrote] = p.run(frame_while_writing(*p.reader, p.peer, bytes));
  EXPECT_TRUE(wrote);
  ASSERT_TRUE(f && *f);
  EXPECT_EQ((*f)->json.view(), R"({"type":"write","id":"x"})");
  EXPECT_EQ((*f)->payload.view(), "typed");
}

TEST(Reader, ReadsFramesLargerThanItsFirstBuffer) {
  const std::string json = R"({"type":"output","id":"a","epoch":1,"sequence":2})";
  for (std::size_t payload_len : {FIRST_BUFFER + 1, std::size_t{1} << 20, FRAME_CAP - 4 - json.size()}) {
    SCOPED_TRACE(payload_len);
    Pair p;
    std::string payload(payload_len, '\0');
    for (std::size_t i = 0; i < payload_len; ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
    auto whole = frame_bytes(json, payload) + frame_bytes(R"({"type":"list"})");
    asio::co_spawn(p.io, asio::async_write(p.peer, asio::buffer(whole), use_tuple), asio::detached);
    auto f = p.run(p.reader->next_frame());
    ASSERT_TRUE(f && *f);
    EXPECT_EQ((*f)->json.view(), json);
    ASSERT_EQ((*f)->payload.size(), payload_len);
    EXPECT_EQ(std::memcmp((*f)->payload.data(), payload.data(), payload_len), 0);
    auto next = p.run(p.reader->next_frame());
    ASSERT_TRUE(next && *next);
    EXPECT_EQ((*next)->json.view(), R"({"type":"list"})");
  }
}

TEST(Reader, NextEncodedGivesTheFrameAsItCame) {
  const std::vector<std::string> frames = {
      frame_bytes(R"({"type":"list"})", "ab"),
      frame_bytes(R"({"type":"detach","id":"a"})"),
      frame_bytes(R"({"type":"output","id":"a","epoch":1,"sequence":2})", std::string(FIRST_BUFFER + 5, 'o')),
  };
  Pair p;
  std::string all;
  for (const auto& f : frames) all += f;
  asio::co_spawn(p.io, asio::async_write(p.peer, asio::buffer(all), use_tuple), asio::detached);
  for (const auto& sent : frames) {
    auto f = p.run(p.reader->next_encoded());
    ASSERT_TRUE(f && *f);
    const EncodedFrame& got = **f;
    EXPECT_EQ(std::string(got.head.view()) + std::string(got.payload.view()), sent);
    const std::uint32_t json_len = (std::uint32_t{static_cast<std::uint8_t>(sent[4])} << 24) |
                                   (std::uint32_t{static_cast<std::uint8_t>(sent[5])} << 16) |
                                   (std::uint32_t{static_cast<std::uint8_t>(sent[6])} << 8) |
                                   std::uint32_t{static_cast<std::uint8_t>(sent[7])};
    EXPECT_EQ(got.head.size(), 8 + json_len);
    EXPECT_EQ(got.json().view(), sent.substr(8, json_len));
    // A view of the receive buffer, not a copy.
    if (!got.payload.empty()) {
      EXPECT_TRUE(got.head.shares_storage_with(got.payload));
    }
  }
  // A malformed header is refused as next_frame refuses it, and stays.
  p.send(frame_bytes("{}", "", static_cast<std::uint32_t>(FRAME_CAP + 1)));
  for (int i = 0; i < 2; ++i) {
    auto bad = p.run(p.reader->next_encoded());
    ASSERT_FALSE(bad);
    EXPECT_TRUE(bad.error().is<WireError::Frame>());
  }
}

TEST(Reader, BufferedEncodedTakesOnlyAWholeBufferedFrame) {
  Pair p;
  const std::string list = frame_bytes(R"({"type":"list"})", "ab");
  EXPECT_FALSE(p.reader->buffered_encoded()) << "nothing read yet";
  p.send(list + list + list.substr(0, 5));
  auto first = p.run(p.reader->next_encoded());
  ASSERT_TRUE(first && *first);
  auto second = p.reader->buffered_encoded();
  ASSERT_TRUE(second);
  EXPECT_EQ(std::string(second->head.view()) + std::string(second->payload.view()), list);
  EXPECT_FALSE(p.reader->buffered_encoded()) << "only part of the third is in";
  p.send(list.substr(5));
  auto third = p.run(p.reader->next_encoded());
  ASSERT_TRUE(third && *third);
  EXPECT_EQ(std::string((**third).head.view()) + std::string((**third).payload.view()), list);
  // A malformed header is left for next_encoded to report.
  p.send(frame_bytes("{}", "", static_cast<std::uint32_t>(FRAME_CAP + 1)));
  auto bad = p.run(p.reader->next_encoded());
  ASSERT_FALSE(bad);
  EXPECT_TRUE(bad.error().is<WireError::Frame>());
  EXPECT_FALSE(p.reader->buffered_encoded());
  EXPECT_FALSE(p.run(p.reader->next_encoded()));
}

TEST(Reader, TakesRoomForSeveralFramesOfTheSizeLastRead) {
  // Frames sent together in a stream come in few reads: a buffer that
  // holds several of them, which therefore share it. Each still counts for
  // a good part of what it keeps alive.
  const std::string frame = frame_bytes(R"({"type":"list"})", std::string(100 * 1024, 'x'));
  Pair p;
  std::string all;
  for (int i = 0; i < 8; ++i) all += frame;
  asio::co_spawn(p.io, asio::async_write(p.peer, asio::buffer(all), use_tuple), asio::detached);
  std::vector<EncodedFrame> got;
  for (int i = 0; i < 8; ++i) {
    auto f = p.run(p.reader->next_encoded());
    ASSERT_TRUE(f && *f);
    got.push_back(std::move(**f));
  }
  std::size_t shared = 0;
  for (std::size_t i = 0; i + 1 < got.size(); ++i) {
    if (got[i].payload.shares_storage_with(got[i + 1].payload)) ++shared;
    EXPECT_LE(got[i].payload.storage(), 4 * frame.size());
  }
  EXPECT_GE(shared, 3u);
}

TEST(Reader, GoesBackToASmallBufferAfterALargeFrame) {
  // Small frames after a large one do not each keep a buffer of the large
  // one's size alive. The frames are held, as a queue would hold them.
  Pair p;
  const std::string small = frame_bytes(R"({"type":"list"})", std::string(100, 's'));
  std::string all = frame_bytes(R"({"type":"list"})", std::string(2 << 20, 'l'));
  const int count = 12000;  // more than MOST_BUFFER of them
  for (int i = 0; i < count; ++i) all += small;
  asio::co_spawn(p.io, asio::async_write(p.peer, asio::buffer(all), use_tuple), asio::detached);
  std::vector<EncodedFrame> held;
  std::size_t largest_at_end = 0;
  for (int i = 0; i <= count; ++i) {
    auto f = p.run(p.reader->next_encoded());
    ASSERT_TRUE(f && *f);
    if (i > count - 100) largest_at_end = std::max(largest_at_end, (**f).payload.storage());
    held.push_back(std::move(**f));
  }
  EXPECT_LE(largest_at_end, FIRST_BUFFER);
}

TEST(WriteFrames, SendsEveryPartInOrderThroughPartialWrites) {
  // Frames passed on from one receive buffer lie back to back, others
  // apart; a small socket buffer makes the writes partial.
  Pair p;
  const std::string run = frame_bytes(R"({"type":"list"})", std::string(3000, 'a')) +
                          frame_bytes(R"({"type":"detach","id":"b"})") +
                          frame_bytes(R"({"type":"list"})", std::string(70000, 'c'));
  Bytes buffer = Bytes::copy_from(run);
  std::vector<EncodedFrame> frames;
  std::string expected;
  for (int round = 0; round < 3; ++round) {
    Bytes rest = buffer;
    for (;;) {
      auto f = quern_protocol::frame::decode_frame_bytes(rest);
      ASSERT_TRUE(f);
      if (!*f) break;
      auto encoded = quern_protocol::frame::encode_frame_parts((**f).json.span(), (**f).payload);
      ASSERT_TRUE(encoded);
      // The head as received: a view just before the payload.
      const std::size_t at = static_cast<std::size_t>((**f).json.data() - buffer.data()) - 8;
      frames.push_back(EncodedFrame{buffer.slice(at, encoded->head.size()), (**f).payload});
      // And one built apart, between them.
      frames.push_back(std::move(*encoded));
      expected += std::string(frames[frames.size() - 2].head.view()) +
                  std::string(frames[frames.size() - 2].payload.view());
      expected += std::string(frames.back().head.view()) + std::string(frames.back().payload.view());
    }
  }
  const int small = 4096;
  ::setsockopt(p.writer->native_handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  auto reading = [&]() -> asio::awaitable<std::string> {
    std::string got(expected.size(), '\0');
    auto [ec, n] = co_await asio::async_read(p.peer, asio::buffer(got), use_tuple);
    got.resize(n);
    co_return got;
  };
  auto [written, got] = p.run(write_frames(*p.writer, frames) && reading());
  EXPECT_TRUE(written);
  EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
}

TEST(Reader, TakesAtMostAPieceFromTheSocketInEachTurn) {
  Pair p;
  const int big = 4 << 20;
  ::setsockopt(p.peer.native_handle(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  p.peer.non_blocking(true);
  // A frame of 2 MiB, of which the socket takes as much as it holds.
  const std::string json = R"({"type":"output","id":"a","epoch":1,"sequence":2})";
  std::string payload((2u << 20) - json.size(), '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 13 + i / 509);
  const std::string whole = frame_bytes(json, payload);
  std::size_t sent = 0;
  while (sent < whole.size()) {
    boost::system::error_code ec;
    const std::size_t n = p.peer.write_some(asio::buffer(whole.data() + sent, whole.size() - sent), ec);
    if (ec) break;
    sent += n;
  }
  auto queued = [&] {
    int n = 0;
    ::ioctl(p.reader->inner.native_handle(), FIONREAD, &n);
    return static_cast<std::size_t>(n);
  };
  if (queued() < FIRST_BUFFER + 2 * READ_PIECE) GTEST_SKIP() << "the socket holds only " << queued() << " bytes";

  std::optional<std::expected<std::optional<Frame>, WireError>> got;
  asio::co_spawn(p.io, p.reader->next_frame(), [&](std::exception_ptr, auto r) { got.emplace(std::move(r)); });
  // Every turn of the loop takes one piece at most, until the socket is empty.
  for (std::size_t before = queued(); before > 0;) {
    ASSERT_EQ(p.io.poll_one(), 1u);
    const std::size_t after = queued();
    EXPECT_LE(before - after, READ_PIECE);
    before = after;
  }
  p.peer.non_blocking(false);
  asio::co_spawn(p.io, asio::async_write(p.peer, asio::buffer(whole.data() + sent, whole.size() - sent), use_tuple),
                 asio::detached);
  while (!got) p.io.run_one();
  ASSERT_TRUE(*got && **got);
  EXPECT_EQ((**got)->json.view(), json);
  EXPECT_TRUE((**got)->payload.view() == payload);
}

TEST(Reader, EndOfStreamIsTheEndEvenInsideAFrame) {
  for (std::size_t sent : {0, 11}) {
    for (bool via_expect : {false, true}) {
      SCOPED_TRACE(std::to_string(sent) + (via_expect ? " expect" : " next_frame"));
      Pair p;
      p.send(frame_bytes(R"({"type":"list"})").substr(0, sent));
      p.peer.close();
      if (via_expect) {
        auto r = p.run(p.reader->expect(2000ms));
        ASSERT_FALSE(r);
        EXPECT_TRUE(r.error().is<WireError::Closed>());
        EXPECT_EQ(r.error().what(), "peer closed");
      } else {
        auto r = p.run(p.reader->next_frame());
        ASSERT_TRUE(r);
        EXPECT_EQ(*r, std::nullopt);
      }
    }
  }
}

TEST(Reader, RefusesAnOversizedHeaderAtOnceAndAgain) {
  Pair p;
  // Only the header: the error must not wait for the announced body.
  p.send(frame_bytes("", "", static_cast<std::uint32_t>(FRAME_CAP + 1)));
  for (int call = 0; call < 2; ++call) {
    auto r = p.run(p.reader->next_frame());
    ASSERT_FALSE(r);
    ASSERT_TRUE(r.error().is<WireError::Frame>());
    EXPECT_EQ(r.error().what(), "frame too large: totalLen 8388609 exceeds the 8388608-byte cap");
  }
}

TEST(Reader, SkipsPastAnUndecodableMessage) {
  Pair p;
  p.send(frame_bytes(R"({"type":"nope"})") + frame_bytes(R"({"type":"list"})", "pl"));
  auto bad = p.run(p.reader->next_packet());
  ASSERT_FALSE(bad);
  ASSERT_TRUE(bad.error().is<WireError::Undecodable>());
  EXPECT_EQ(bad.error().what().rfind("undecodable message: unknown variant `nope`, expected one of "
                                     "`hello`, `welcome`",
                                     0),
            0u)
      << bad.error().what();
  auto good = p.run(p.reader->next_packet());
  ASSERT_TRUE(good && *good);
  EXPECT_EQ((*good)->message, Message(msg::List{}));
  EXPECT_EQ((*good)->payload.view(), "pl");
}

TEST(Reader, ReportsAFailedReadAsIo) {
  Pair p;
  // Closing a unix socket with unread data resets the connection.
  std::string unread = "unread";
  p.run(asio::async_write(*p.writer, asio::buffer(unread), use_tuple));
  p.peer.close();
  auto r = p.run(p.reader->next_frame());
  ASSERT_FALSE(r);
  ASSERT_TRUE(r.error().is<WireError::Io>());
  EXPECT_EQ(std::get<WireError::Io>(r.error().value).error.kind(), ErrorKind::ConnectionReset);
}

TEST(ReaderExpect, ReturnsAnyKindOfMessage) {
  Pair p;
  p.send(frame_bytes(R"({"type":"error","message":"no such pty"})"));
  auto r = p.run(p.reader->expect(2000ms));
  ASSERT_TRUE(r) << r.error().what();
  EXPECT_EQ(r->message, Message(msg::Error{std::nullopt, "no such pty"}));
}

TEST(ReaderExpect, TimesOutOnASilentPeerAndKeepsWhatArrived) {
  Pair p;
  std::string bytes = frame_bytes(R"({"type":"welcome","version":1})");
  p.send(bytes.substr(0, 10));
  auto start = std::chrono::steady_clock::now();
  auto r = p.run(p.reader->expect(500ms));
  auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is<WireError::Timeout>());
  EXPECT_EQ(r.error().what(), "no reply within 500ms");
  EXPECT_GE(waited, 500ms);
  EXPECT_LT(waited, 1500ms);

  p.send(bytes.substr(10));
  auto later = p.run(p.reader->next_packet());
  ASSERT_TRUE(later && *later);
  EXPECT_EQ((*later)->message, Message(msg::Welcome{1}));
}

asio::awaitable<bool> read_against_timer(Reader& reader) {
  asio::steady_timer t(co_await asio::this_coro::executor, 20ms);
  auto raced = co_await (reader.next_frame() || t.async_wait(use_tuple));
  co_return raced.index() == 1;
}

TEST(Reader, AbandonedReadLosesNoByte) {
  Pair p;
  std::string bytes = frame_bytes(R"({"type":"list"})", "payload");
  p.send(bytes.substr(0, 13));
  EXPECT_TRUE(p.run(read_against_timer(*p.reader)));
  p.send(bytes.substr(13));
  auto f = p.run(p.reader->next_frame());
  ASSERT_TRUE(f && *f);
  EXPECT_EQ((*f)->json.view(), R"({"type":"list"})");
  EXPECT_EQ((*f)->payload.view(), "payload");
}

// A caller that is itself being cancelled, and still calls the reader.
asio::awaitable<std::expected<std::optional<Packet>, WireError>> call_once_cancelled(Reader& reader) {
  co_await asio::this_coro::throw_if_cancelled(false);
  asio::steady_timer forever(co_await asio::this_coro::executor, 1h);
  co_await forever.async_wait(use_tuple);
  co_return co_await reader.next_packet();
}

TEST(Reader, CancelledCallerDoesNotConsumeABufferedFrame) {
  Pair p;
  p.send(frame_bytes(R"({"type":"list"})") + frame_bytes(R"({"type":"detach","id":"d"})"));
  ASSERT_TRUE(p.run(p.reader->next_frame()));  // the second frame is now buffered

  asio::cancellation_signal cancel;
  std::optional<std::expected<std::optional<Packet>, WireError>> abandoned;
  asio::co_spawn(p.io, call_once_cancelled(*p.reader),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, auto r) {
                   EXPECT_FALSE(e);
                   abandoned.emplace(std::move(r));
                 }));
  p.io.restart();
  p.io.poll();
  cancel.emit(asio::cancellation_type::terminal);
  p.io.run_for(1s);
  ASSERT_TRUE(abandoned);
  ASSERT_FALSE(*abandoned);
  EXPECT_TRUE(abandoned->error().is<WireError::Io>());

  auto next = p.run(p.reader->next_packet());
  ASSERT_TRUE(next && *next);
  EXPECT_EQ((*next)->message, Message(msg::Detach{msg::PtyId{"d"}}));
}

TEST(Halves, DroppingTheWriteHalfEndsOnlyTheSendingDirection) {
  Pair p;
  p.writer.reset();
  char c;
  boost::system::error_code ec;
  p.peer.read_some(asio::buffer(&c, 1), ec);
  EXPECT_EQ(ec, asio::error::eof);

  p.send(frame_bytes(R"({"type":"list"})"));
  auto f = p.run(p.reader->next_packet());
  ASSERT_TRUE(f && *f);
  EXPECT_EQ((*f)->message, Message(msg::List{}));
}

TEST(Halves, WriteHalfSendsToThePeer) {
  Pair p;
  std::string bytes = frame_bytes(R"({"type":"list"})");
  auto [ec, n] = p.run(asio::async_write(*p.writer, asio::buffer(bytes), use_tuple));
  ASSERT_FALSE(ec);
  std::string got(bytes.size(), '\0');
  asio::read(p.peer, asio::buffer(got));
  EXPECT_EQ(got, bytes);
}

TEST(Halves, SocketClosesWhenBothHalvesAreGone) {
  Pair p;
  p.reader.reset();
  p.writer.reset();
  boost::system::error_code ec;
  asio::write(p.peer, asio::buffer(std::string("x")), ec);
  EXPECT_EQ(ec, asio::error::broken_pipe);
}

}  // namespace
}  // namespace quern_session::wire
