// The one-pass message decoder gives, for every text, exactly what the former
// tree decoder gave: the same message or the same failure text. Texts are
// sound messages of every shape, each cut short at every byte, with every
// byte replaced by bytes that matter to JSON or deleted, and random soups of
// the protocol's tokens. Read a bounded piece at a time, every text decodes
// to exactly what it decodes to in one go.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "quern_protocol/message.hpp"
#include "tree_decoder.hpp"

namespace {

using quern_protocol::message::Message;
using quern_protocol::message::MessageDecoder;

std::string one_pass(std::string_view text) {
  auto m = Message::deserialize(text);
  return m ? m->debug() : "error: " + m.error().text;
}

std::string tree(std::string_view text) {
  auto m = quern_tree::deserialize(text);
  return m ? m->debug() : "error: " + m.error().text;
}

// A long text's two ends.
std::string cut(std::string_view s) {
  if (s.size() <= 200) return std::string(s);
  return std::string(s.substr(0, 100)) + "..." + std::string(s.substr(s.size() - 100));
}

// Counts disagreements, reporting the first few.
struct Agreement {
  std::size_t texts = 0;
  std::size_t disagreements = 0;

  std::vector<std::string> seen;  // the texts, when `keep`
  bool keep = false;

  void check(std::string_view text) {
    ++texts;
    if (keep) seen.emplace_back(text);
    std::string a = one_pass(text);
    std::string b = tree(text);
    if (a == b) return;
    if (++disagreements <= 10)
      ADD_FAILURE() << "text: " << cut(text) << "\none pass: " << cut(a) << "\ntree:     " << cut(b);
  }
};

const std::vector<std::string> kSeeds = {
    R"({"type":"hello","versions":[1,2,4294967295]})",
    R"({"versions":[1,"x"],"type":"hello"})",
    R"(["hello",[1,2]])",
    R"({"type":"welcome","version":1})",
    R"({"version":-1,"type":"welcome"})",
    R"({"type":"attach","id":"a","cols":80,"rows":24,"resume":{"epoch":1,"sequence":2},"drive":true,"cwd":"/","argv":["sh","-c"],"env":{"A":"1","A":"2"}})",
    R"({"argv":["sh"],"cols":80,"cwd":null,"drive":false,"env":{"B":"x"},"id":"a","resume":[1,2],"rows":24,"type":"attach"})",
    R"(["attach","a",80,24,null,false,null,[],{}])",
    R"({"id":"a","type":"detach"})",
    R"({"type":"write","id":"a"})",
    R"({"cols":1,"drive":true,"id":"a","rows":2,"type":"resize"})",
    R"(["resize","a",1,2])",
    R"({"id":"a","id":"b","type":"close"})",
    R"({"id":null,"type":"close"})",
    R"({"type":"list","x":[1,{"y":null}],"x":2})",
    R"({"cols":"x","id":5,"type":"list"})",
    R"(["list"])",
    R"({"entries":[{"cursor":{"epoch":1,"sequence":2},"exited":{"code":0,"signal":null},"id":"a"},["b",[3,4],null]],"type":"listed"})",
    R"({"type":"listed","entries":[["c",{"sequence":6,"epoch":5,"x":1},[]],{"id":"d","cursor":[1,2],"cursor":[1,2]}]})",
    R"({"id":"a","type":"pause"})",
    R"(["resume","a"])",
    R"({"epoch":1,"id":"a","sequence":2,"type":"output"})",
    R"({"epoch":18446744073709551616,"id":"a","sequence":1.5,"type":"output"})",
    R"(["output","a",1,2])",
    R"({"code":null,"epoch":1,"id":"a","sequence":2,"signal":9,"type":"exited"})",
    R"(["exited","a",1,2,-2147483648,2147483648])",
    R"({"id":null,"message":"m","type":"error"})",
    R"({"type":"error","message":"\u00e9\ud83d\ude00","id":"\u0061"})",
    R"({"t\u0079pe":"l\u0069st"})",
    R"({"type":"list","type":"list"})",
    R"({"type":5,"type":"list"})",
    R"({"type":["list"],"id":1})",
    R"([{"type":"list"}])",
    R"("list")",
    R"(-18446744073709551617)",
    R"({"type":"nope","id":})",
    R"({"id":"a","message":"x","type":"close","id":"b"})",
    R"({"message":1,"message":2,"type":"error"})",
    " { \"type\" : \"list\" } \n",
};

// Bytes that change what a text means to a JSON reader.
const std::string kReplacements = "\"{}[],:0 1-.en\\\x01\xff";

TEST(DecoderAgreement, SeedsAndEveryCutReplacementAndDeletion) {
  Agreement agree;
  for (const std::string& seed : kSeeds) {
    for (std::size_t n = 0; n <= seed.size(); ++n) agree.check(std::string_view(seed).substr(0, n));
    for (std::size_t i = 0; i < seed.size(); ++i) {
      std::string deleted = seed;
      deleted.erase(i, 1);
      agree.check(deleted);
      for (char c : kReplacements) {
        if (seed[i] == c) continue;
        std::string replaced = seed;
        replaced[i] = c;
        agree.check(replaced);
      }
    }
  }
  EXPECT_EQ(agree.disagreements, 0u) << "of " << agree.texts << " texts";
}

// Read `first` bytes, then `rest` at a time; counts the steps taken.
std::string in_pieces(std::string_view text, std::size_t first, std::size_t rest, std::size_t* steps = nullptr) {
  MessageDecoder decoder(text);
  std::size_t n = 1;
  if (!decoder.step(first))
    while (++n, !decoder.step(rest)) {
    }
  if (steps) *steps = n;
  auto m = decoder.finish();
  return m ? m->debug() : "error: " + m.error().text;
}

// Counts texts whose reading in pieces differs from the reading in one go.
struct PieceAgreement {
  std::size_t readings = 0;
  std::size_t disagreements = 0;

  void check(std::string_view text, std::size_t first, std::size_t rest) {
    ++readings;
    std::string whole = one_pass(text);
    std::string pieces = in_pieces(text, first, rest);
    // Asked for the message alone, without the failure's wording.
    MessageDecoder quiet(text);
    if (!quiet.step(first))
      while (!quiet.step(rest)) {
      }
    const auto m = quiet.message();
    if (whole == pieces && whole == (m ? m->debug() : whole.starts_with("error: ") ? whole : "none")) return;
    if (++disagreements <= 10)
      ADD_FAILURE() << "text: " << cut(text) << "\npieces of " << first << " then " << rest << ": " << cut(pieces)
                    << "\nin one go: " << cut(whole);
  }
};

TEST(DecoderInPieces, EveryCutOfEverySeedAndItsVariants) {
  PieceAgreement agree;
  for (const std::string& seed : kSeeds) {
    // Two pieces, cut at every byte; and pieces of a few sizes throughout.
    for (std::size_t n = 0; n <= seed.size() + 1; ++n) agree.check(seed, n, std::size_t(-1));
    for (std::size_t size : {1, 2, 3, 7}) agree.check(seed, size, size);
    for (std::size_t i = 0; i < seed.size(); ++i) {
      std::string variant = seed.substr(0, i);
      for (std::size_t size : {1, 3}) agree.check(variant, size, size);
      variant = seed;
      variant.erase(i, 1);
      for (std::size_t size : {1, 3}) agree.check(variant, size, size);
      for (char c : kReplacements) {
        if (seed[i] == c) continue;
        variant = seed;
        variant[i] = c;
        for (std::size_t size : {1, 3}) agree.check(variant, size, size);
      }
    }
  }
  EXPECT_EQ(agree.disagreements, 0u) << "of " << agree.readings << " readings";
}

// Random texts from the protocol's keys, tags and values, often malformed.
class Soup {
 public:
  explicit Soup(unsigned seed) : rng_(seed) {}

  std::string text() {
    std::string out;
    value(out, 0);
    if (pick(8) == 0) out.resize(pick(out.size() + 1));
    if (pick(16) == 0) out += pick(2) ? " x" : "{}";
    return out;
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  void value(std::string& out, int depth) {
    static const char* scalars[] = {
        "0", "1", "-1", "65536", "4294967296", "18446744073709551616", "1.5", "8e1", "true",
        "false", "null", "\"a\"", "\"\"", "\"list\"", "\"close\"", "\"output\"", "\"error\"",
        "\"attach\"", "\"hello\"", "\"listed\"", "\"exited\"", "\"x\\u0041\"", "01", "tru"};
    std::size_t k = depth > 3 ? pick(3) + 2 : pick(6);
    if (k == 0) return object(out, depth);
    if (k == 1) return array(out, depth);
    out += scalars[pick(std::size(scalars))];
  }
  void object(std::string& out, int depth) {
    static const char* keys[] = {"type", "id", "versions", "version", "cols", "rows", "resume",
                                 "drive", "cwd", "argv", "env", "entries", "epoch", "sequence",
                                 "code", "signal", "message", "cursor", "exited", "x"};
    out += '{';
    for (std::size_t n = pick(6); n > 0; --n) {
      out += '"';
      out += keys[pick(std::size(keys))];
      out += "\":";
      value(out, depth + 1);
      if (n > 1) out += ',';
    }
    out += '}';
  }
  void array(std::string& out, int depth) {
    out += '[';
    for (std::size_t n = pick(6); n > 0; --n) {
      value(out, depth + 1);
      if (n > 1) out += ',';
    }
    out += ']';
  }

  std::mt19937 rng_;
};

TEST(DecoderAgreement, RandomSoupsOfTheProtocolsTokens) {
  Agreement agree;
  Soup soup(20261210);
  for (int k = 0; k < 200000; ++k) agree.check(soup.text());
  EXPECT_EQ(agree.disagreements, 0u) << "of " << agree.texts << " texts";
}

TEST(DecoderInPieces, RandomSoupsOfTheProtocolsTokens) {
  PieceAgreement agree;
  Soup soup(20261211);
  for (int k = 0; k < 20000; ++k) {
    const std::string text = soup.text();
    agree.check(text, 1, 1);
    agree.check(text, k % (text.size() + 1), 5);
  }
  EXPECT_EQ(agree.disagreements, 0u) << "of " << agree.readings << " readings";
}

// Members before the tag beyond what the first pass keeps are decoded by a
// second pass that knows the kind, with the same result.
TEST(DecoderAgreement, LargeMembersBeforeTheTag) {
  std::string argv = "[";
  for (int k = 0; k < 40000; ++k) argv += k ? ",\"arg\"" : "\"arg\"";
  argv += "]";
  Agreement agree;
  agree.keep = true;
  for (const std::string& text : {
           R"({"argv":)" + argv + R"(,"cols":80,"id":"a","rows":24,"type":"attach"})",
           R"({"argv":)" + argv + R"(,"type":"list"})",
           R"({"argv":)" + argv + R"(,"argv":[],"type":"attach"})",
           R"({"argv":)" + argv + R"(,"cols":"x","type":"attach","id":"a","rows":1})",
           R"({"cols":"x","argv":)" + argv + R"(,"type":"attach","id":"a","rows":1})",
           R"({"argv":)" + argv + R"(,"type":"attach","id":"a","rows":1,"cols":5,"cols":6})",
           R"({"argv":)" + argv + R"(,"type":"bogus"})",
           R"({"argv":)" + argv + R"(,"type":"attach","id":"a","rows":1,"cols":1)",
           R"({"type":")" + std::string(2 << 20, 'x') + R"("})",
           R"({"argv":["a"],"type":")" + std::string(2 << 20, 'x') + R"("})",
           R"({"argv":)" + argv + R"(,"type":")" + std::string(2 << 20, 'x') + R"("})",
       }) {
    agree.check(text);
  }
  EXPECT_EQ(agree.disagreements, 0u);
  // Read in pieces, the second reading too.
  PieceAgreement pieces;
  for (std::string_view text : agree.seen)
    for (std::size_t size : {4093, 65536}) pieces.check(text, size, size);
  EXPECT_EQ(pieces.disagreements, 0u);
  auto m = Message::deserialize(R"({"argv":)" + argv + R"(,"cols":80,"id":"a","rows":24,"type":"attach"})");
  ASSERT_TRUE(m) << m.error().text;
  EXPECT_EQ(m->get<quern_protocol::message::Attach>()->argv.size(), 40000u);
}

// The first pass keeps 1 MiB of members before the tag. A text member of a
// given length takes what is kept to just under that, exactly to it or past
// it; then the next element of a list, record list or map, refused or kept,
// crosses the limit or not, and the tag after it must still count.
TEST(DecoderAgreement, MembersBeforeTheTagAroundTheKeptLimit) {
  constexpr std::size_t kLimit = 1 << 20;
  // A member before the tag, and the kind that has it.
  const std::pair<const char*, const char*> members[] = {
      {R"("argv":[1])", "attach"},
      {R"("argv":["a",null])", "attach"},
      {R"("argv":[[]])", "attach"},
      {R"("argv":["a"])", "attach"},
      {R"("versions":[-1])", "hello"},
      {R"("versions":[1,"x"])", "hello"},
      {R"("versions":[{}])", "hello"},
      {R"("entries":[1])", "listed"},
      {R"("entries":[["a",[1,2],null],"x"])", "listed"},
      {R"("entries":[{"id":1}])", "listed"},
      {R"("entries":[[]])", "listed"},
      {R"("env":{"k":1})", "attach"},
      {R"("env":{"k":"v","l":[]})", "attach"},
      {R"("env":{"k":null})", "attach"},
  };
  Agreement agree;
  for (std::size_t pad : {kLimit - 64, kLimit - 1, kLimit, kLimit + 1}) {
    const std::string head = R"({"message":")" + std::string(pad, 'm') + "\",";
    for (const auto& [member, kind] : members)
      for (std::string_view tag : {std::string_view("list"), std::string_view(kind)})
        agree.check(head + member + R"(,"type":")" + std::string(tag) +
                    R"(","id":"a","cols":1,"rows":1})");
  }
  EXPECT_EQ(agree.disagreements, 0u) << "of " << agree.texts << " texts";
}

// A large text is read a bounded piece at a time: as many steps as pieces.
TEST(DecoderInPieces, EachStepReadsAtMostItsBudget) {
  std::string versions;
  for (int k = 0; k < 200000; ++k) versions += k ? ",7" : "7";
  const std::string hello = R"({"type":"hello","versions":[)" + versions + "]}";
  std::size_t steps = 0;
  EXPECT_EQ(in_pieces(hello, 4096, 4096, &steps), one_pass(hello));
  EXPECT_EQ(steps, (hello.size() + 4095) / 4096);
  // Past the limit before the tag, the text is read twice, in pieces both times.
  const std::string late = R"({"versions":[)" + versions + R"(],"message":")" + std::string(1 << 20, 'm') +
                           R"(","type":"hello"})";
  EXPECT_EQ(in_pieces(late, 65536, 65536, &steps), one_pass(late));
  EXPECT_GE(steps, 2 * (late.size() / 65536));
}

// A list whose own elements take what is kept just under or exactly to the
// limit, then one more element of the wrong type.
TEST(DecoderAgreement, AListFilledToTheKeptLimitThenARefusedElement) {
  auto list = [](std::string_view element, std::size_t count, std::string_view last) {
    std::string out = "[";
    for (std::size_t k = 0; k < count; ++k) {
      out += element;
      out += ',';
    }
    return out.append(last) + "]";
  };
  Agreement agree;
  for (std::size_t n : {32767, 32768}) {
    for (const char* last : {"1", "[]"}) {
      const std::string argv = list(R"("")", n, last);
      agree.check(R"({"argv":)" + argv + R"(,"type":"list"})");
      agree.check(R"({"argv":)" + argv + R"(,"type":"attach","id":"a","cols":1,"rows":1})");
    }
  }
  EXPECT_EQ(agree.disagreements, 0u) << "of " << agree.texts << " texts";
  // The smallest text the tag was lost in.
  const std::string text = R"({"argv":)" + list(R"("")", 32768, "1") + R"(,"type":"list"})";
  auto m = Message::deserialize(text);
  ASSERT_TRUE(m) << m.error().text;
  EXPECT_EQ(m->debug(), "List");
}

}  // namespace
