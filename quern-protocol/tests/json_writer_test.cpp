#include "quern_protocol/json_writer.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

namespace {

using quern_protocol::json::write_compact;

TEST(JsonWriter, KeysSortedByBytesAtEveryLevel) {
  boost::json::object inner;
  inner["b"] = 2;
  inner["B"] = 1;
  inner["a"] = nullptr;
  boost::json::object outer;
  outer["type"] = "x";
  outer["env"] = inner;
  outer["argv"] = boost::json::array{"a", true, -5, std::uint64_t(18446744073709551615ull)};
  EXPECT_EQ(write_compact(outer),
            R"({"argv":["a",true,-5,18446744073709551615],"env":{"B":1,"a":null,"b":2},"type":"x"})");
}

// Byte order, not locale or signed-char order: non-ASCII keys sort after ASCII ones.
TEST(JsonWriter, NonAsciiKeysSortAfterAscii) {
  boost::json::object o;
  o["\xc3\xa9"] = 1;
  o["z"] = 2;
  EXPECT_EQ(write_compact(o), "{\"z\":2,\"\xc3\xa9\":1}");
}

TEST(JsonWriter, Escapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"\"", R"("\"")"},
      {"\\", R"("\\")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"/\x7f", "\"/\x7f\""},
      {"\xe2\x82\xac", "\"\xe2\x82\xac\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(write_compact(boost::json::value(boost::json::string_view(c.in))), c.out) << c.out;
  }
}

}  // namespace
