// Messages: decoding rules and their exact failure texts, the JSON written
// for every kind, and the one-line debug form.
#include "quern_protocol/message.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "quern_protocol/json_writer.hpp"

namespace {

using namespace quern_protocol::message;
using quern_protocol::json::write_compact;

// The decoded message's debug form, or the failure text after "error: ".
std::string decode(std::string_view text) {
  auto m = Message::deserialize(text);
  return m ? m->debug() : "error: " + m.error().text;
}

// Decodes and writes back as packet encoding would.
std::string reencode(std::string_view text) {
  auto m = Message::deserialize(text);
  return m ? write_compact(m->serialize()) : "error: " + m.error().text;
}

std::string json_string(const std::string& s) { return "\"" + s + "\""; }

struct Case {
  std::string text;
  std::string expected;
};

void check(const std::vector<Case>& cases, std::string (*run)(std::string_view)) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(run(c.text), c.expected);
  }
}

const std::string kAttachA =
    R"(Attach { id: PtyId("a"), cols: 80, rows: 24, resume: None, drive: false, cwd: None, argv: [], env: {} })";

const std::string kTags =
    "`hello`, `welcome`, `attach`, `detach`, `write`, `resize`, `close`, `list`, `listed`, "
    "`pause`, `resume`, `output`, `exited`, `error`";

TEST(MessageDecode, AcceptedTexts) {
  check(
      {
          {R"({"type":"attach","id":"a","cols":80,"rows":24})", kAttachA},
          {R"(["attach","a",80,24])", kAttachA},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"cwd":null,"resume":null})", kAttachA},
          {R"({"type":"attach","id":"a","cols":65535,"rows":0,"resume":[1,2],"drive":true,"cwd":"/","argv":["sh"],"env":{}})",
           R"(Attach { id: PtyId("a"), cols: 65535, rows: 0, resume: Some(Cursor { epoch: 1, sequence: 2 }), drive: true, cwd: Some("/"), argv: ["sh"], env: {} })"},
          {R"({"id":"a","type":"close"})", R"(Close { id: PtyId("a") })"},
          {R"({"type":"list","x":[1,{"y":null}],"x":2,"type2":"hello"})", "List"},
          {R"(["list"])", "List"},
          // Members before the tag are judged by the kind it names.
          {R"({"cols":"x","versions":null,"id":5,"type":"list"})", "List"},
          {R"({"epoch":1,"id":"a","sequence":2,"type":"output"})",
           R"(Output { id: PtyId("a"), epoch: 1, sequence: 2 })"},
          {R"({"id":null,"message":"m","type":"error"})", R"(Error { id: None, message: "m" })"},
          {R"({"t\u0079pe":"list"})", "List"},
          {R"({"type":"l\u0069st"})", "List"},
          {R"({"type":"hello","versions":[]})", "Hello { versions: [] }"},
          {R"({"type":"hello","versions":[1,1,4294967295]})",
           "Hello { versions: [1, 1, 4294967295] }"},
          {R"(["hello",[1]])", "Hello { versions: [1] }"},
          {R"({"type":"welcome","version":0})", "Welcome { version: 0 }"},
          {R"({"type":"exited","id":"a","epoch":1,"sequence":2,"signal":9})",
           R"(Exited { id: PtyId("a"), epoch: 1, sequence: 2, code: None, signal: Some(9) })"},
          {R"(["exited","a",18446744073709551615,0,-2147483648])",
           R"(Exited { id: PtyId("a"), epoch: 18446744073709551615, sequence: 0, code: Some(-2147483648), signal: None })"},
          {R"({"type":"error","message":"no such pty"})",
           R"(Error { id: None, message: "no such pty" })"},
          {R"(["error",null,"m"])", R"(Error { id: None, message: "m" })"},
          {R"({"type":"error","id":"a","message":"not attached"})",
           R"(Error { id: Some(PtyId("a")), message: "not attached" })"},
          {R"({"type":"listed","entries":[{"id":"a","cursor":{"epoch":1,"sequence":2},"exited":{"code":0}}]})",
           R"(Listed { entries: [PtyEntry { id: PtyId("a"), cursor: Cursor { epoch: 1, sequence: 2 }, exited: Some(Exit { code: Some(0), signal: None }) }] })"},
          {R"({"type":"listed","entries":[["b",[3,4]],["c",{"sequence":6,"epoch":5,"x":1},[]]]})",
           R"(Listed { entries: [PtyEntry { id: PtyId("b"), cursor: Cursor { epoch: 3, sequence: 4 }, exited: None }, PtyEntry { id: PtyId("c"), cursor: Cursor { epoch: 5, sequence: 6 }, exited: Some(Exit { code: None, signal: None }) }] })"},
          {R"({"type":"resize","id":"a","cols":1,"rows":2})",
           R"(Resize { id: PtyId("a"), cols: 1, rows: 2, drive: false })"},
          {R"({"type":"output","id":"","epoch":1,"sequence":2})",
           R"(Output { id: PtyId(""), epoch: 1, sequence: 2 })"},
          {R"({"type":"write","id":"a/b c"})", R"(Write { id: PtyId("a/b c") })"},
          {R"({"type":"pause","id":"a"})", R"(Pause { id: PtyId("a") })"},
          {R"(["resume","a"])", R"(Resume { id: PtyId("a") })"},
          {R"(["detach","a"])", R"(Detach { id: PtyId("a") })"},
          {" \r\n\t{\"type\":\"list\"}\n \t\r", "List"},
      },
      decode);
}

TEST(MessageDecode, RefusedTextsAndTheirExactFailures) {
  check(
      {
          // Reading the text: failures carry the position.
          {"", "error: EOF while parsing a value at line 1 column 0"},
          {" \n ", "error: EOF while parsing a value at line 2 column 1"},
          {R"({"type":"list"} x)", "error: trailing characters at line 1 column 17"},
          {R"({"type":"list"}{})", "error: trailing characters at line 1 column 16"},
          {R"({"type":"Hello"})",
           "error: unknown variant `Hello`, expected one of " + kTags + " at line 1 column 15"},
          {R"(["nope"])",
           "error: unknown variant `nope`, expected one of " + kTags + " at line 1 column 7"},
          {R"({"id":"a"})", "error: missing field `type` at line 1 column 10"},
          {"[]", "error: missing field `type` at line 1 column 2"},
          {R"({"type":"list","type":"list"})", "error: duplicate field `type` at line 1 column 21"},
          {R"({"type":"list","type":5})", "error: duplicate field `type` at line 1 column 21"},
          {R"({"type":5})", "error: invalid type: integer `5`, expected variant identifier at line 1 column 9"},
          {R"({"type":null})", "error: invalid type: null, expected variant identifier at line 1 column 12"},
          {R"({"type":["list"]})", "error: invalid type: sequence, expected variant identifier at line 1 column 8"},
          {R"([{"type":"list"}])", "error: invalid type: map, expected variant identifier at line 1 column 1"},
          {"5", "error: invalid type: integer `5`, expected internally tagged enum Message at line 1 column 1"},
          {R"("list")", "error: invalid type: string \"list\", expected internally tagged enum Message at line 1 column 6"},
          {"null", "error: invalid type: null, expected internally tagged enum Message at line 1 column 4"},
          {"80.0", "error: invalid type: floating point `80.0`, expected internally tagged enum Message at line 1 column 4"},
          // Text order between the tag and a syntax error.
          {R"({"type":"nope","id":)",
           "error: unknown variant `nope`, expected one of " + kTags + " at line 1 column 14"},
          {R"({"type":"list","type":)", "error: duplicate field `type` at line 1 column 21"},
          {R"({"type":[1,)", "error: invalid type: sequence, expected variant identifier at line 1 column 8"},
          {R"({"id":tru,"type":"nope"})", "error: expected ident at line 1 column 10"},
          {R"({"type":"close","id":"a",})", "error: trailing comma at line 1 column 26"},
          {R"({"type":01})", "error: invalid number at line 1 column 10"},
          {R"({"id":"a"  )", "error: EOF while parsing an object at line 1 column 11"},
          {R"({"type":"hello","versions":[1,2)", "error: EOF while parsing a list at line 1 column 31"},
          {"{\"type\":\"error\",\"message\":\"a\x01\"}",
           "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 29"},
          {"{\"type\":\"error\",\"message\":\"\xff\"}",
           "error: invalid unicode code point at line 1 column 29"},
          // Interpreting the members: no position.
          {R"({"type":"hello"})", "error: missing field `versions`"},
          {R"({"type":"hello","versions":[1],"versions":[2]})", "error: duplicate field `versions`"},
          {R"({"type":"hello","versions":1})", "error: invalid type: integer `1`, expected a sequence"},
          {R"({"type":"hello","versions":[1,"2"]})", "error: invalid type: string \"2\", expected u32"},
          {R"({"type":"hello","versions":[1.5]})", "error: invalid type: floating point `1.5`, expected u32"},
          {R"({"type":"welcome","version":4294967296})", "error: invalid value: integer `4294967296`, expected u32"},
          {R"({"type":"welcome","version":-1} x)", "error: invalid value: integer `-1`, expected u32"},
          {R"({"type":"attach","id":"a","cols":65536,"rows":24})", "error: invalid value: integer `65536`, expected u16"},
          {R"({"type":"attach","id":"a","cols":-1,"rows":24})", "error: invalid value: integer `-1`, expected u16"},
          {R"({"type":"attach","id":"a","cols":80.0,"rows":24})", "error: invalid type: floating point `80.0`, expected u16"},
          {R"({"type":"attach","id":"a","cols":8e1,"rows":24})", "error: invalid type: floating point `80.0`, expected u16"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"drive":null})", "error: invalid type: null, expected a boolean"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"argv":null})", "error: invalid type: null, expected a sequence"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"env":null})", "error: invalid type: null, expected a map"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"env":[]})", "error: invalid type: sequence, expected a map"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"env":{"A":1}})", "error: invalid type: integer `1`, expected a string"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"argv":["x",{}]})", "error: invalid type: map, expected a string"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"cwd":5})", "error: invalid type: integer `5`, expected a string"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"resume":5})", "error: invalid type: integer `5`, expected struct Cursor"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"resume":{"epoch":1}})", "error: missing field `sequence`"},
          {R"({"type":"attach","id":"a","cols":80})", "error: missing field `rows`"},
          {R"({"type":"resize","id":"a","cols":1,"rows":1,"drive":1})", "error: invalid type: integer `1`, expected a boolean"},
          {R"({"type":"close","id":"a","id":5})", "error: duplicate field `id`"},
          {R"({"type":"close","id":5,"id":"a"})", "error: invalid type: integer `5`, expected a string"},
          {R"({"type":"close","ID":"a"})", "error: missing field `id`"},
          {R"({"type":"close","id":null})", "error: invalid type: null, expected a string"},
          {R"({"type":"output","sequence":1})", "error: missing field `id`"},
          {R"({"type":"output","id":"a","epoch":18446744073709551616,"sequence":1})",
           "error: invalid value: integer `18446744073709551616`, expected u64"},
          {R"({"type":"exited","id":"a","epoch":1,"sequence":2,"code":2147483648})",
           "error: invalid value: integer `2147483648`, expected i32"},
          {R"({"type":"error","id":"a"})", "error: missing field `message`"},
          {R"({"type":"listed","entries":[5]})", "error: invalid type: integer `5`, expected struct PtyEntry"},
          {R"({"type":"listed","entries":[{"id":"a"}]})", "error: missing field `cursor`"},
          {R"({"type":"listed","entries":[["a",[1]]]})", "error: invalid length 1, expected struct Cursor with 2 elements"},
          {R"({"type":"listed","entries":[["a"]]})", "error: invalid length 1, expected struct PtyEntry with 3 elements"},
          {R"({"type":"listed","entries":[["a",[1,2],[1,2,3]]]})", "error: invalid length 3, expected 2 elements in sequence"},
          {R"({"type":"listed","entries":[["a",[1,2],null,4]]})", "error: invalid length 4, expected 3 elements in sequence"},
          {R"({"type":"listed","entries":[{"id":"a","cursor":[1,2],"cursor":[1,2]}]})", "error: duplicate field `cursor`"},
          // Members before the tag, in text order with those after it.
          {R"({"id":null,"type":"close"})", "error: invalid type: null, expected a string"},
          {R"({"id":5,"type":"close","id":"a"})", "error: invalid type: integer `5`, expected a string"},
          {R"({"id":"a","type":"close","id":5})", "error: duplicate field `id`"},
          {R"({"id":"a","id":5,"type":"close"})", "error: duplicate field `id`"},
          {R"({"cols":1,"type":"attach","id":5,"rows":1})", "error: invalid type: integer `5`, expected a string"},
          {R"({"rows":1,"type":"attach","id":"a"})", "error: missing field `cols`"},
          {R"({"id":5,"type":"nope"})",
           "error: unknown variant `nope`, expected one of " + kTags + " at line 1 column 21"},
          // Array form.
          {R"(["attach","a",80])", "error: invalid length 2, expected struct variant Message::Attach with 8 elements"},
          {R"(["close","a","b"])", "error: invalid length 2, expected 1 element in sequence"},
          {R"(["error"])", "error: invalid length 1, expected struct variant Message::Error with 2 elements"},
          {R"(["detach"])", "error: invalid length 0, expected struct variant Message::Detach with 1 element"},
          {R"(["exited","a",1])", "error: invalid length 2, expected struct variant Message::Exited with 5 elements"},
          {R"(["list",1])", "error: invalid length 1, expected 0 elements in sequence"},
          {R"(["close",5,"b"])", "error: invalid type: integer `5`, expected a string"},
          {R"(["attach","a",80,24,null,false,null,[],{},1])", "error: invalid length 9, expected 8 elements in sequence"},
      },
      decode);
}

TEST(MessageDecode, PtyIdLengthCountsDecodedUtf8Bytes) {
  const std::string euro = "\xe2\x82\xac";  // three UTF-8 bytes
  std::string euros;
  for (int k = 0; k < 86; ++k) euros += euro;
  std::string e_escapes;
  for (int k = 0; k < 128; ++k) e_escapes += "\\u00e9";
  check(
      {
          {R"({"type":"close","id":)" + json_string(std::string(256, 'x')) + "}",
           "Close { id: PtyId(\"" + std::string(256, 'x') + "\") }"},
          {R"({"type":"close","id":)" + json_string(std::string(257, 'x')) + "}",
           "error: invalid length 257, expected a PTY id of at most 256 bytes"},
          {R"({"type":"close","id":)" + json_string(euros) + "}",
           "error: invalid length 258, expected a PTY id of at most 256 bytes"},
          {R"({"type":"close","id":)" + json_string(e_escapes) + "}",
           "Close { id: PtyId(\"" + [] {
             std::string s;
             for (int k = 0; k < 128; ++k) s += "\xc3\xa9";
             return s;
           }() + "\") }"},
          {R"({"type":"close","id":)" + json_string(e_escapes + "x") + "}",
           "error: invalid length 257, expected a PTY id of at most 256 bytes"},
          {R"({"type":"error","id":)" + json_string(std::string(257, 'x')) + R"(,"message":""})",
           "error: invalid length 257, expected a PTY id of at most 256 bytes"},
          {R"({"type":"listed","entries":[[)" + json_string(std::string(257, 'x')) + R"(,[1,2]]]})",
           "error: invalid length 257, expected a PTY id of at most 256 bytes"},
      },
      decode);
}

TEST(PtyIdFault, WhatTheDecoderWouldRefuseOrJsonCannotCarry) {
  // The length is counted in bytes, as the decoder counts it.
  struct Case {
    std::string text;
    std::optional<PtyIdFault> fault;
  };
  std::string euros;  // 85 characters of three UTF-8 bytes: 255 bytes
  for (int k = 0; k < 85; ++k) euros += "\xe2\x82\xac";
  const Case cases[] = {
      {"", std::nullopt},
      {std::string(256, 'x'), std::nullopt},
      {euros + "x", std::nullopt},
      {std::string(257, 'x'), PtyIdFault::too_long},
      {euros + "\xc3\xa9", PtyIdFault::too_long},
      {"a\xff", PtyIdFault::not_utf8},
      {"\xe2\x82", PtyIdFault::not_utf8},       // cut short
      {"\xc0\xaf", PtyIdFault::not_utf8},       // overlong
      {"\xed\xa0\x80", PtyIdFault::not_utf8},  // a surrogate
      {std::string("a\0b", 3), std::nullopt},  // any character, NUL too
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(pty_id_fault(c.text), c.fault);
  }
}

TEST(MessageDecode, NestingLimitCountsTheMessageItself) {
  // The object is level 1, so 126 arrays inside it make 127 levels.
  auto with_arrays = [](std::size_t n) {
    return R"({"type":"list","x":)" + std::string(n, '[') + std::string(n, ']') + "}";
  };
  EXPECT_EQ(decode(with_arrays(126)), "List");
  EXPECT_EQ(decode(with_arrays(127)), "error: recursion limit exceeded at line 1 column 146");
  EXPECT_EQ(decode(R"(["list",)" + std::string(126, '[') + std::string(126, ']') + "]"),
            "error: invalid length 1, expected 0 elements in sequence");
}

TEST(MessageEncode, WrittenFormKeepsOrDropsMembersAsDefined) {
  check(
      {
          {R"({"type":"attach","id":"a","cols":80,"rows":24})",
           R"({"cols":80,"drive":false,"id":"a","resume":null,"rows":24,"type":"attach"})"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"cwd":null,"argv":[],"env":{},"resume":null})",
           R"({"cols":80,"drive":false,"id":"a","resume":null,"rows":24,"type":"attach"})"},
          {R"({"type":"attach","id":"a","cols":80,"rows":24,"env":{"b":"1","a":"2","b":"3"}})",
           R"({"cols":80,"drive":false,"env":{"a":"2","b":"3"},"id":"a","resume":null,"rows":24,"type":"attach"})"},
          {R"({"type":"exited","id":"a","epoch":1,"sequence":2})",
           R"({"code":null,"epoch":1,"id":"a","sequence":2,"signal":null,"type":"exited"})"},
          {R"({"type":"error","message":"no such pty"})",
           R"({"id":null,"message":"no such pty","type":"error"})"},
          {R"({"type":"pause","id":"a","extra":[1,2,3]})", R"({"id":"a","type":"pause"})"},
          {R"({"type":"list","x":1})", R"({"type":"list"})"},
          {R"(["welcome",1])", R"({"type":"welcome","version":1})"},
          {R"({"type":"hello","versions":[1]})", R"({"type":"hello","versions":[1]})"},
          {R"({"type":"listed","entries":[["a",[1,2]],{"id":"b","cursor":[3,4],"exited":[-1]}]})",
           R"({"entries":[{"cursor":{"epoch":1,"sequence":2},"exited":null,"id":"a"},{"cursor":{"epoch":3,"sequence":4},"exited":{"code":-1,"signal":null},"id":"b"}],"type":"listed"})"},
          {R"({"type":"resize","id":"a","cols":1,"rows":2,"drive":true})",
           R"({"cols":1,"drive":true,"id":"a","rows":2,"type":"resize"})"},
          {R"({"type":"output","id":"a","epoch":18446744073709551615,"sequence":0})",
           R"({"epoch":18446744073709551615,"id":"a","sequence":0,"type":"output"})"},
      },
      reencode);
}

TEST(MessageEncode, EveryMemberOfAFullAttachIsWritten) {
  Attach a;
  a.id = PtyId{"a"};
  a.cols = 80;
  a.rows = 24;
  a.resume = Cursor{1, 2};
  a.drive = true;
  a.cwd = "/tmp";
  a.argv = {"sh", "-l"};
  a.env = {{"PATH", "/bin"}, {"HOME", "/h"}};
  const Message m(a);
  EXPECT_EQ(write_compact(m.serialize()),
            R"({"argv":["sh","-l"],"cols":80,"cwd":"/tmp","drive":true,"env":{"HOME":"/h","PATH":"/bin"},"id":"a","resume":{"epoch":1,"sequence":2},"rows":24,"type":"attach"})");
  auto back = Message::deserialize(write_compact(m.serialize()));
  ASSERT_TRUE(back) << back.error().text;
  EXPECT_EQ(*back, m);
  EXPECT_EQ(m.debug(),
            R"(Attach { id: PtyId("a"), cols: 80, rows: 24, resume: Some(Cursor { epoch: 1, sequence: 2 }), drive: true, cwd: Some("/tmp"), argv: ["sh", "-l"], env: {"HOME": "/h", "PATH": "/bin"} })");
}

TEST(MessageDebug, OneLineForms) {
  struct DebugCase {
    Message message;
    std::string expected;
  };
  const std::vector<DebugCase> cases = {
      {List{}, "List"},
      {Welcome{1}, "Welcome { version: 1 }"},
      {Hello{{1, 2}}, "Hello { versions: [1, 2] }"},
      {Error{std::nullopt, "no such pty"}, R"(Error { id: None, message: "no such pty" })"},
      {Error{PtyId{"a"}, "line\n\"quoted\""},
       R"(Error { id: Some(PtyId("a")), message: "line\n\"quoted\"" })"},
      {Error{std::nullopt, std::string("t\tr\rz") + '\0' + "b\x07' \\ e\xcc\x81 \xc3\xa9"},
       R"(Error { id: None, message: "t\tr\rz\0b\u{7}' \\ e\u{301} é" })"},
      {Exited{PtyId{"a"}, 1, 2, std::nullopt, 9},
       R"(Exited { id: PtyId("a"), epoch: 1, sequence: 2, code: None, signal: Some(9) })"},
      {Listed{{PtyEntry{PtyId{"a"}, Cursor{1, 2}, Exit{0, std::nullopt}}}},
       R"(Listed { entries: [PtyEntry { id: PtyId("a"), cursor: Cursor { epoch: 1, sequence: 2 }, exited: Some(Exit { code: Some(0), signal: None }) }] })"},
      {Listed{}, "Listed { entries: [] }"},
      {Resize{PtyId{"a"}, 80, 24, true}, R"(Resize { id: PtyId("a"), cols: 80, rows: 24, drive: true })"},
      {Output{PtyId{"x\"y"}, 0, 18446744073709551615ull},
       R"(Output { id: PtyId("x\"y"), epoch: 0, sequence: 18446744073709551615 })"},
      {Detach{PtyId{"a"}}, R"(Detach { id: PtyId("a") })"},
      {Write{PtyId{"a"}}, R"(Write { id: PtyId("a") })"},
      {Close{PtyId{"a"}}, R"(Close { id: PtyId("a") })"},
      {Pause{PtyId{"a"}}, R"(Pause { id: PtyId("a") })"},
      {Resume{PtyId{"a"}}, R"(Resume { id: PtyId("a") })"},
      {Exited{PtyId{"a"}, 1, 2, -1, std::nullopt},
       R"(Exited { id: PtyId("a"), epoch: 1, sequence: 2, code: Some(-1), signal: None })"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(c.message.debug(), c.expected);
  }
}

TEST(MessageModel, NamesAndTagsFollowDeclarationOrder) {
  const std::vector<std::pair<Message, std::string>> kinds = {
      {Hello{}, "Hello"},   {Welcome{}, "Welcome"}, {Attach{}, "Attach"}, {Detach{}, "Detach"},
      {Write{}, "Write"},   {Resize{}, "Resize"},   {Close{}, "Close"},   {List{}, "List"},
      {Listed{}, "Listed"}, {Pause{}, "Pause"},     {Resume{}, "Resume"}, {Output{}, "Output"},
      {Exited{}, "Exited"}, {Error{}, "Error"},
  };
  for (const auto& [m, name] : kinds) {
    EXPECT_EQ(m.name(), name);
    std::string tag = name;
    for (char& ch : tag) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_EQ(m.tag(), tag);
    // Every default-built kind survives writing and reading back.
    auto back = Message::deserialize(write_compact(m.serialize()));
    ASSERT_TRUE(back) << name << ": " << back.error().text;
    EXPECT_EQ(*back, m);
  }
}

TEST(MessageDecode, BytesAndTextGiveTheSameResult) {
  const std::string text = R"({"type":"welcome","version":1})";
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  auto m = Message::deserialize(std::span<const std::uint8_t>(bytes));
  ASSERT_TRUE(m);
  EXPECT_EQ(*m, Message(Welcome{1}));
}

}  // namespace
