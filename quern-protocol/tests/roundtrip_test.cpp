// Generated messages of every kind survive encoding, decoding and re-encoding.
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"
#include "quern_protocol/packet.hpp"

namespace {

using namespace quern_protocol;
using namespace quern_protocol::message;

class Gen {
 public:
  explicit Gen(unsigned seed) : rng_(seed) {}

  std::uint64_t u64() {
    switch (pick(4)) {
      case 0: return 0;
      case 1: return std::numeric_limits<std::uint64_t>::max();
      default: return rng_();
    }
  }
  std::uint32_t u32() { return std::uint32_t(u64()); }
  std::uint16_t u16() { return std::uint16_t(u64()); }
  std::optional<std::int32_t> oi32() {
    switch (pick(4)) {
      case 0: return std::nullopt;
      case 1: return std::numeric_limits<std::int32_t>::min();
      case 2: return std::numeric_limits<std::int32_t>::max();
      default: return std::int32_t(rng_());
    }
  }
  bool flag() { return pick(2) == 1; }
  // Texts with quotes, escapes, control bytes, multi-byte characters and slashes.
  std::string text() {
    static const char* pieces[] = {"a", "Z", " ", "\"", "\\", "/", "\n", "\t", "\x01", "\x7f",
                                   "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "type", "{}"};
    std::string s;
    for (std::size_t n = pick(12); n > 0; --n) s += pieces[pick(std::size(pieces))];
    return s;
  }
  PtyId id() { return PtyId{text()}; }
  Cursor cursor() { return Cursor{u64(), u64()}; }
  std::optional<Exit> exit() {
    if (flag()) return std::nullopt;
    return Exit{oi32(), oi32()};
  }

  Message message(std::size_t kind) {
    switch (kind) {
      case 0: {
        Hello h;
        for (std::size_t n = pick(4); n > 0; --n) h.versions.push_back(u32());
        return h;
      }
      case 1: return Welcome{u32()};
      case 2: {
        Attach a{id(), u16(), u16(), std::nullopt, flag(), std::nullopt, {}, {}};
        if (flag()) a.resume = cursor();
        if (flag()) a.cwd = text();
        for (std::size_t n = pick(3); n > 0; --n) a.argv.push_back(text());
        for (std::size_t n = pick(3); n > 0; --n) a.env[text()] = text();
        return a;
      }
      case 3: return Detach{id()};
      case 4: return Write{id()};
      case 5: return Resize{id(), u16(), u16(), flag()};
      case 6: return Close{id()};
      case 7: return List{};
      case 8: {
        Listed l;
        for (std::size_t n = pick(3); n > 0; --n) l.entries.push_back({id(), cursor(), exit()});
        return l;
      }
      case 9: return Pause{id()};
      case 10: return Resume{id()};
      case 11: return Output{id(), u64(), u64()};
      case 12: return Exited{id(), u64(), u64(), oi32(), oi32()};
      default: {
        Error e{std::nullopt, text()};
        if (flag()) e.id = id();
        return e;
      }
    }
  }

 private:
  std::size_t pick(std::size_t n) { return std::size_t(rng_() % n); }
  std::mt19937_64 rng_;
};

TEST(RoundTrip, EveryKindDecodesBackAndReencodesIdentically) {
  Gen gen(20261210);
  for (int round = 0; round < 40; ++round) {
    for (std::size_t kind = 0; kind < std::variant_size_v<Message::Variant>; ++kind) {
      Message m = gen.message(kind);
      ASSERT_EQ(m.value.index(), kind);
      auto frame = packet::Packet{m, Bytes()}.encode_parts();
      ASSERT_TRUE(frame);
      Bytes wire = frame->to_bytes();
      auto decoded_frame = frame::decode_frame_bytes(wire);
      ASSERT_TRUE(decoded_frame && *decoded_frame);
      EXPECT_TRUE(wire.empty());
      auto back = Message::deserialize((*decoded_frame)->json.span());
      ASSERT_TRUE(back) << back.error().text << " in " << (*decoded_frame)->json.view();
      EXPECT_EQ(*back, m) << m.debug();
      auto again = packet::Packet{*back, Bytes()}.encode_parts();
      ASSERT_TRUE(again);
      EXPECT_EQ(again->to_bytes(), frame->to_bytes());
    }
  }
}

}  // namespace
