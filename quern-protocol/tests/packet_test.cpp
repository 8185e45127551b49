#include "quern_protocol/packet.hpp"

#include <gtest/gtest.h>

namespace {

using namespace quern_protocol;
using namespace quern_protocol::message;
using quern_protocol::packet::Packet;

std::string json_of(const frame::EncodedFrame& f) {
  return std::string(f.head.view().substr(8));
}

TEST(Packet, WelcomeFrameLengths) {
  auto f = Packet{Welcome{1}, Bytes()}.encode_parts();
  ASSERT_TRUE(f);
  EXPECT_EQ(json_of(*f), R"({"type":"welcome","version":1})");
  EXPECT_EQ(f->head.view().substr(0, 8), std::string("\0\0\0\x22\0\0\0\x1e", 8));
}

TEST(Packet, CompactTexts) {
  struct Case {
    Message m;
    const char* json;
  };
  Attach full{PtyId{"a"}, 80, 24, Cursor{1, 2}, true, "/tmp", {"sh"}, {{"K", "v"}}};
  const Case cases[] = {
      {Hello{{1}}, R"({"type":"hello","versions":[1]})"},
      {Error{std::nullopt, "no such pty"}, R"({"id":null,"message":"no such pty","type":"error"})"},
      {Pause{PtyId{"p"}}, R"({"id":"p","type":"pause"})"},
      {List{}, R"({"type":"list"})"},
      {Listed{{PtyEntry{PtyId{"a"}, Cursor{1, 2}, Exit{0, std::nullopt}}}},
       R"({"entries":[{"cursor":{"epoch":1,"sequence":2},"exited":{"code":0,"signal":null},"id":"a"}],"type":"listed"})"},
      {full,
       R"({"argv":["sh"],"cols":80,"cwd":"/tmp","drive":true,"env":{"K":"v"},"id":"a","resume":{"epoch":1,"sequence":2},"rows":24,"type":"attach"})"},
      {Attach{PtyId{"a"}, 80, 24, std::nullopt, false, std::nullopt, {}, {}},
       R"({"cols":80,"drive":false,"id":"a","resume":null,"rows":24,"type":"attach"})"},
  };
  for (const auto& c : cases) {
    auto f = Packet{c.m, Bytes()}.encode_parts();
    ASSERT_TRUE(f);
    EXPECT_EQ(json_of(*f), c.json);
  }
}

TEST(Packet, EscapesInErrorText) {
  auto f = Packet{Error{std::nullopt, "a\n\"\x1f"}, Bytes()}.encode_parts();
  ASSERT_TRUE(f);
  EXPECT_EQ(json_of(*f), R"({"id":null,"message":"a\n\"\u001f","type":"error"})");
}

TEST(Packet, EnvNamesComeOutSorted) {
  Attach a{PtyId{"a"}, 1, 1, std::nullopt, false, std::nullopt, {}, {}};
  a.env.emplace("PATH", "/bin");
  a.env.emplace("HOME", "/h");
  a.env.emplace("home", "/l");
  auto f = Packet{a, Bytes()}.encode_parts();
  ASSERT_TRUE(f);
  EXPECT_NE(json_of(*f).find(R"("env":{"HOME":"/h","PATH":"/bin","home":"/l"})"),
            std::string::npos);
}

TEST(Packet, PayloadIsSharedNotCopied) {
  Bytes payload = Bytes::copy_from(std::string_view("terminal bytes"));
  Packet p{Output{PtyId{"a"}, 1, 7}, payload};
  auto f = p.encode_parts();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->payload.data(), payload.data());
  EXPECT_EQ(p.payload.data(), payload.data());
}

TEST(Packet, TooLargeForAFrame) {
  std::string text(8388600, 'x');
  Packet p{Error{std::nullopt, text}, Bytes()};
  auto json_len = std::string(R"({"id":null,"message":"","type":"error"})").size() + text.size();
  auto f = p.encode_parts();
  ASSERT_FALSE(f);
  auto* fe = std::get_if<frame::FrameError>(&f.error().value);
  ASSERT_NE(fe, nullptr);
  EXPECT_EQ(std::get<frame::TooLarge>(fe->value).total_len, json_len + 4);
  EXPECT_EQ(f.error().what(), "frame too large: totalLen " + std::to_string(json_len + 4) +
                                  " exceeds the 8388608-byte cap");
}

}  // namespace
