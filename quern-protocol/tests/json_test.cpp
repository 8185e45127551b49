// The JSON text layer: strict syntax with fixed failure texts and positions,
// number kinds, quoting and decoding into slots; and the tree of the former
// decoder that the tests compare the one-pass decoder with.
#include "quern_protocol/json.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quern_protocol/json_decoder.hpp"
#include "quern_protocol/json_failure_text.hpp"
#include "quern_protocol/json_syntax_error.hpp"
#include "tree_decoder.hpp"

namespace {

using namespace quern_protocol::json;
using quern_tree::Parsed;
using quern_tree::Value;
using quern_tree::parse;
using quern_tree::parse_value;

// The syntax failure of a text read into nothing, or "(accepted)".
std::string failure_of(std::string_view text) {
  Outcome o = decode(text, Slot{});
  return o.well_formed ? std::string("(accepted)") : o.syntax_error(text).text();
}

// A text decoded into one slot of type T: its value, or the failure text.
template <class T>
std::string into(std::string_view text, Shape shape, bool optional = false) {
  std::conditional_t<std::is_same_v<T, void>, int, T> out{};
  Outcome o = decode(text, Slot{shape, optional, &out});
  if (!o.well_formed) return o.syntax_error(text).text();
  if (o.error) return *o.error;
  if constexpr (std::is_same_v<T, std::string>) return "ok " + out;
  else if constexpr (std::is_same_v<T, quern_protocol::message::PtyId>) return "ok " + std::to_string(out.text.size());
  else return std::to_string(out);
}

struct SyntaxCase {
  std::string text;
  std::string expected;
};

TEST(JsonParse, SyntaxFailuresHaveFixedTextsAndPositions) {
  const std::vector<SyntaxCase> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n\t ", "EOF while parsing a value at line 2 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"\"ab", "EOF while parsing a string at line 1 column 3"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"tru e", "expected ident at line 1 column 4"},
      {"{\"a\":}", "expected value at line 1 column 6"},
      {"[,1]", "expected value at line 1 column 2"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
      {R"("\x")", "invalid escape at line 1 column 3"},
      {R"("\u12g4")", "invalid escape at line 1 column 6"},
      {"01", "invalid number at line 1 column 2"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"[1e400]", "number out of range at line 1 column 6"},
      {"-1e400", "number out of range at line 1 column 6"},
      {R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7"},
      {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13"},
      {R"("\ud800x")", "unexpected end of hex escape at line 1 column 8"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 4"},       // overlong
      {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},   // surrogate
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"{\n  \"a\":\n}", "expected value at line 3 column 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(failure_of(c.text), c.expected);
  }
}

TEST(JsonParse, WhitespaceAroundTheValueIsAllowed) {
  for (std::string_view text : {" {} ", "\t\r\n[1]\n", "null", " \"x\"\r\n"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(failure_of(text), "(accepted)");
  }
}

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonParse, NestingStopsAtLevel128) {
  EXPECT_EQ(failure_of(nested_arrays(127)), "(accepted)");
  EXPECT_EQ(failure_of(nested_arrays(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(failure_of("{\"a\":" + nested_arrays(127) + "}"),
            "recursion limit exceeded at line 1 column 132");
}

TEST(TreeOracle, TreeKeepsMemberOrderDuplicatesAndOffsets) {
  //                      0123456789012345678901234567890123
  std::string_view text = R"({"b":1,"a":[true,null] ,"b":"x"} )";
  auto v = parse_value(text);
  ASSERT_TRUE(v) << v.error().text();
  ASSERT_EQ(v->kind, quern_tree::Kind::object);
  ASSERT_EQ(v->members.size(), 3u);
  EXPECT_EQ(v->members[0].key, "b");
  EXPECT_EQ(v->members[1].key, "a");
  EXPECT_EQ(v->members[2].key, "b");
  EXPECT_EQ(v->members[0].key_end, 4u);
  EXPECT_EQ(v->members[0].value.end, 6u);
  const Value& a = v->members[1].value;
  EXPECT_EQ(a.begin, 11u);
  EXPECT_EQ(a.end, 22u);
  ASSERT_EQ(a.items.size(), 2u);
  EXPECT_EQ(a.items[0].kind, quern_tree::Kind::boolean);
  EXPECT_EQ(a.items[1].end, 21u);
  EXPECT_EQ(v->members[2].value.string, "x");
  EXPECT_EQ(v->members[2].value.end, 31u);
  EXPECT_EQ(v->end, 32u);
}

// A record of two strings, "type" and "x", decoded from an object.
constexpr Field kPairFields[] = {{"type"}, {"x", false}};
struct Pair {
  std::string type, x;
};
Slot pair_field(void* r, std::size_t f) {
  auto& p = *static_cast<Pair*>(r);
  return Slot{Shape::string, false, f == 0 ? &p.type : &p.x};
}
constexpr RecordType kPair = record_type<Pair>(kPairFields, "struct Pair", "struct Pair with 2 elements", pair_field);

TEST(JsonDecode, EscapesAreResolvedInKeysAndStrings) {
  Pair p;
  Outcome o = decode(R"({"t\u0079pe":"\u00e9\ud83d\ude00\n\/","x":"plain"})",
                     Slot{Shape::record, false, &p, &kPair});
  ASSERT_TRUE(o.well_formed);
  ASSERT_FALSE(o.error) << *o.error;
  EXPECT_EQ(p.type, "\xc3\xa9\xf0\x9f\x98\x80\n/");
  EXPECT_EQ(p.x, "plain");
}

TEST(JsonDecode, LongEscapedStringsAndKeysAreAssembledWhole) {
  std::string body;
  for (int k = 0; k < 5000; ++k) body += "\\u00e9";
  std::string out;
  Outcome o = decode("\"" + body + "\"", Slot{Shape::string, false, &out});
  ASSERT_TRUE(o.well_formed);
  EXPECT_EQ(out.size(), 10000u);
  // A long escaped key is no field's name, and a long one that ends like one is not either.
  Pair p;
  std::string long_key = "{\"" + body + "type\":\"a\",\"type\":\"b\"}";
  o = decode(long_key, Slot{Shape::record, false, &p, &kPair});
  ASSERT_FALSE(o.error) << *o.error;
  EXPECT_EQ(p.type, "b");
}

TEST(JsonDecode, NumberKinds) {
  struct Case {
    std::string text;
    std::string as_u64;
    std::string as_i64;
  };
  const std::vector<Case> cases = {
      {"0", "0", "0"},
      {"-0", "0", "0"},
      {"-9223372036854775808", "invalid value: integer `-9223372036854775808`, expected u64",
       "-9223372036854775808"},
      {"9223372036854775808", "9223372036854775808",
       "invalid value: integer `9223372036854775808`, expected i64"},
      {"18446744073709551615", "18446744073709551615",
       "invalid value: integer `18446744073709551615`, expected i64"},
      // Integers beyond 64 bits are integers out of range, shown as sent.
      {"18446744073709551616", "invalid value: integer `18446744073709551616`, expected u64",
       "invalid value: integer `18446744073709551616`, expected i64"},
      {"-9223372036854775809", "invalid value: integer `-9223372036854775809`, expected u64",
       "invalid value: integer `-9223372036854775809`, expected i64"},
      {"80.0", "invalid type: floating point `80.0`, expected u64",
       "invalid type: floating point `80.0`, expected i64"},
      {"8e1", "invalid type: floating point `80.0`, expected u64",
       "invalid type: floating point `80.0`, expected i64"},
      {"1e-400", "invalid type: floating point `0.0`, expected u64",
       "invalid type: floating point `0.0`, expected i64"},
      {"1" + std::string(400, '0'), "number out of range at line 1 column 401",
       "number out of range at line 1 column 401"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(into<std::uint64_t>(c.text, Shape::u64), c.as_u64);
    EXPECT_EQ(into<std::int64_t>(c.text, Shape::i64), c.as_i64);
  }
}

TEST(TreeOracle, NumberKinds) {
  for (auto [text, kind] : std::vector<std::pair<std::string, quern_tree::Kind>>{
           {"-9223372036854775808", quern_tree::Kind::int64},
           {"18446744073709551615", quern_tree::Kind::uint64},
           {"18446744073709551616", quern_tree::Kind::big_integer},
           {"8e1", quern_tree::Kind::float64},
       }) {
    SCOPED_TRACE(text);
    auto v = parse_value(text);
    ASSERT_TRUE(v) << v.error().text();
    EXPECT_EQ(v->kind, kind);
  }
}

TEST(TreeOracle, PartialTreeKeepsWhatWasReadBeforeTheError) {
  Parsed p = parse(R"({"type":"x","a":[1,{"k":)");
  ASSERT_TRUE(p.error);
  EXPECT_EQ(p.error->reason, "EOF while parsing a value");
  const Value& root = p.root;
  ASSERT_EQ(root.kind, quern_tree::Kind::object);
  EXPECT_FALSE(root.complete);
  ASSERT_EQ(root.members.size(), 2u);
  EXPECT_TRUE(root.members[0].value.complete);
  EXPECT_EQ(root.members[0].value.string, "x");
  const Value& a = root.members[1].value;
  EXPECT_FALSE(a.complete);
  ASSERT_EQ(a.items.size(), 2u);
  EXPECT_EQ(a.items[0].int64, 1);
  ASSERT_EQ(a.items[1].members.size(), 1u);
  EXPECT_EQ(a.items[1].members[0].value.kind, quern_tree::Kind::missing);
}

TEST(TreeOracle, PartialTreeDropsAValueRefusedAfterItsStart) {
  // Boost would end the number at the 0; the text refuses the whole token.
  Parsed p = parse(R"({"type":01})");
  ASSERT_TRUE(p.error);
  EXPECT_EQ(p.error->reason, "invalid number");
  ASSERT_EQ(p.root.members.size(), 1u);
  EXPECT_EQ(p.root.members[0].value.kind, quern_tree::Kind::missing);

  Parsed scalar = parse("01");
  EXPECT_EQ(scalar.root.kind, quern_tree::Kind::missing);
}

TEST(TreeOracle, TrailingCharactersLeaveTheValueComplete) {
  Parsed p = parse(R"({"a":1} {)");
  ASSERT_TRUE(p.error);
  EXPECT_EQ(p.error->text(), "trailing characters at line 1 column 9");
  EXPECT_TRUE(p.root.complete);
  EXPECT_EQ(p.root.members.size(), 1u);
}

TEST(JsonText, FloatTextIsShortestPlainDecimal) {
  struct Case {
    double d;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {80.0, "80.0"},     {0.1, "0.1"},       {-2.5, "-2.5"},
      {-0.0, "-0.0"},     {1e21, "1000000000000000000000.0"},
      {1.5e-7, "0.00000015"}, {18446744073709551616.0, "18446744073709552000.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_text(c.d), c.expected);
  EXPECT_EQ(into<std::uint16_t>("8e1", Shape::u16), "invalid type: floating point `80.0`, expected u16");
}

TEST(JsonText, QuotedEscapes) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"plain", "\"plain\""},
      {"q\"b\\", R"("q\"b\\")"},
      {std::string("t\tr\rn\nz\0", 8), R"("t\tr\rn\nz\0")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
      {"it's", "\"it's\""},
      {"\xc3\xa9", "\"\xc3\xa9\""},                    // é prints
      {"e\xcc\x81", R"("e\u{301}")"},                   // combining acute accent
      {"\xc2\xa0|\xe2\x80\x8b", R"("\u{a0}|\u{200b}")"},  // no-break space, zero-width space
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},    // emoji prints
      {"\xee\x80\x80", R"("\u{e000}")"},                // private use
      {"\xff", R"("\xff")"},                            // not UTF-8 at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(quern_protocol::json::quoted(c.text), c.expected);
  }
}

TEST(JsonText, UnexpectedDescribesEveryKind) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"null", "null"},       {"true", "boolean `true`"},
      {"-5", "integer `-5`"}, {"18446744073709551615", "integer `18446744073709551615`"},
      {"1e30", "floating point `1000000000000000000000000000000.0`"},
      {"1.5", "floating point `1.5`"}, {R"("a\"b")", R"(string "a\"b")"},
      {"[1]", "sequence"},    {"{}", "map"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<std::uint32_t> sequence;
    bool flag = false;
    const bool is_array = c.text[0] == '[';
    Outcome o = is_array ? decode(c.text, Slot{Shape::boolean, false, &flag})
                         : decode(c.text, Slot{Shape::u32_sequence, false, &sequence});
    ASSERT_TRUE(o.error);
    EXPECT_EQ(*o.error, "invalid type: " + c.expected + (is_array ? ", expected a boolean" : ", expected a sequence"));
  }
  Scalar big;
  big.kind = Kind::big_integer;
  big.text = "18446744073709551616";
  EXPECT_EQ(unexpected(big), "integer `18446744073709551616`");
}

TEST(JsonDecode, IntegersHoldTheirRange) {
  auto u16 = [](std::string_view t) { return into<std::uint16_t>(t, Shape::u16); };
  auto i32 = [](std::string_view t) { return into<std::int32_t>(t, Shape::i32); };
  auto u64 = [](std::string_view t) { return into<std::uint64_t>(t, Shape::u64); };
  EXPECT_EQ(u16("65535"), "65535");
  EXPECT_EQ(u16("65536"), "invalid value: integer `65536`, expected u16");
  EXPECT_EQ(u16("-1"), "invalid value: integer `-1`, expected u16");
  EXPECT_EQ(u16("80.0"), "invalid type: floating point `80.0`, expected u16");
  EXPECT_EQ(u16("\"80\""), "invalid type: string \"80\", expected u16");
  EXPECT_EQ(u16("true"), "invalid type: boolean `true`, expected u16");
  EXPECT_EQ(i32("-2147483648"), "-2147483648");
  EXPECT_EQ(i32("2147483648"), "invalid value: integer `2147483648`, expected i32");
  EXPECT_EQ(i32("18446744073709551615"),
            "invalid value: integer `18446744073709551615`, expected i32");
  EXPECT_EQ(u64("18446744073709551615"), "18446744073709551615");
  EXPECT_EQ(u64("-1"), "invalid value: integer `-1`, expected u64");
  EXPECT_EQ(into<std::int64_t>("9223372036854775808", Shape::i64),
            "invalid value: integer `9223372036854775808`, expected i64");
  // An optional integer takes null as none and anything else as the integer.
  std::optional<std::int32_t> code = 5;
  ASSERT_FALSE(decode("null", Slot{Shape::i32, true, &code}).error);
  EXPECT_FALSE(code);
  ASSERT_FALSE(decode("-7", Slot{Shape::i32, true, &code}).error);
  EXPECT_EQ(code, -7);
  EXPECT_EQ(*decode("\"7\"", Slot{Shape::i32, true, &code}).error,
            "invalid type: string \"7\", expected i32");
}

TEST(JsonDecode, PtyIdCountsDecodedBytes) {
  auto id = [](const std::string& text) {
    return into<quern_protocol::message::PtyId>(text, Shape::pty_id);
  };
  EXPECT_EQ(id("\"\""), "ok 0");
  EXPECT_EQ(id("\"" + std::string(256, 'x') + "\""), "ok 256");
  EXPECT_EQ(id("\"" + std::string(257, 'x') + "\""),
            "invalid length 257, expected a PTY id of at most 256 bytes");
  std::string escaped;  // 128 escapes of two UTF-8 bytes each
  for (int k = 0; k < 128; ++k) escaped += "\\u00e9";
  EXPECT_EQ(id("\"" + escaped + "\""), "ok 256");
  EXPECT_EQ(id("\"" + escaped + "\\u00e9\""),
            "invalid length 258, expected a PTY id of at most 256 bytes");
  EXPECT_EQ(id("null"), "invalid type: null, expected a string");
}

// A two-field record like a start time, with one optional third field.
struct Rec {
  std::int64_t a = 0;
  std::int64_t b = 0;
  std::optional<std::string> c;
};

constexpr Field kRecFields[] = {{"a"}, {"b"}, {"c", false}};
Slot rec_field(void* r, std::size_t f) {
  auto& rec = *static_cast<Rec*>(r);
  if (f == 2) return Slot{Shape::string, true, &rec.c};
  return Slot{Shape::i64, false, f == 0 ? &rec.a : &rec.b};
}
constexpr RecordType kRec = record_type<Rec>(kRecFields, "struct Rec", "struct Rec with 3 elements", rec_field);

std::string decode_rec(std::string_view text, Rec* out = nullptr) {
  Rec r;
  Outcome o = decode(text, Slot{Shape::record, false, &r, &kRec});
  if (out) *out = r;
  if (!o.well_formed) return o.syntax_error(text).text();
  return o.error ? *o.error : "ok";
}

TEST(JsonDecode, RecordsFromObjectsAndArrays) {
  struct Case {
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {R"({"b":2,"a":1})", "ok"},
      {R"({"a":1,"x":[{}],"x":null,"b":2})", "ok"},
      {R"({"a":1,"b":2,"c":null})", "ok"},
      {R"({"a":1})", "missing field `b`"},
      {R"({"c":"x"})", "missing field `a`"},
      {R"({"a":1,"a":"not looked at","b":2})", "duplicate field `a`"},
      {R"({"a":"x","a":1})", "invalid type: string \"x\", expected i64"},
      {R"({"A":1,"b":2})", "missing field `a`"},
      {"[1,2]", "ok"},
      {R"([1,2,"c"])", "ok"},
      {"[1]", "invalid length 1, expected struct Rec with 3 elements"},
      {"[]", "invalid length 0, expected struct Rec with 3 elements"},
      {"[1,2,null,4]", "invalid length 4, expected 3 elements in sequence"},
      {"[\"x\"]", "invalid type: string \"x\", expected i64"},
      {"5", "invalid type: integer `5`, expected struct Rec"},
      {"null", "invalid type: null, expected struct Rec"},
      // The first failure in text order wins; a syntax error after it wins over it.
      {R"({"a":"x","b":"y"})", "invalid type: string \"x\", expected i64"},
      {R"({"a":"x","b":2} x)", "trailing characters at line 1 column 17"},
      {R"([1,"y",{"a":1}])", "invalid type: string \"y\", expected i64"},
      {R"({"a":1,"b":2,"c":[1,{"x":)", "EOF while parsing a value at line 1 column 25"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decode_rec(c.text), c.expected);
  }
  Rec r;
  ASSERT_EQ(decode_rec(R"({"b":-2,"a":1,"c":"z"})", &r), "ok");
  EXPECT_EQ(r.a, 1);
  EXPECT_EQ(r.b, -2);
  EXPECT_EQ(r.c, "z");
  EXPECT_EQ(elements_in_sequence(1), "1 element in sequence");
}

}  // namespace
