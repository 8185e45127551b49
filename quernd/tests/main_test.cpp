// The daemon's command line.
#include "main.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Origins = std::vector<std::string>;

struct ArgsCase {
  const char* name;
  std::vector<std::string> args;
  std::optional<Origins> origins;  // when parsing succeeds
  const char* error = nullptr;     // when it fails
};

TEST(Args, ParsesFlagsInOrder) {
  const std::string dev = "http://localhost:5173";
  const ArgsCase cases[] = {
      {"no arguments: data plane on, no origin", {}, Origins{}},
      {"origins in order, duplicates kept", {"--origin", "b", "--origin", "a", "--origin", "b"}, Origins{"b", "a", "b"}},
      {"dev twice gives its origin twice", {"--dev", "--dev"}, Origins{dev, dev}},
      {"no-data-plane after an origin turns it off", {"--origin", "x", "--no-data-plane"}, std::nullopt},
      {"no-data-plane before an origin turns it off", {"--no-data-plane", "--origin", "x"}, std::nullopt},
      {"an origin's value may look like a flag", {"--origin", "--no-data-plane"}, Origins{"--no-data-plane"}},
      {"an empty origin is kept", {"--origin", ""}, Origins{""}},
      {"origin as the last argument", {"--dev", "--origin"}, {}, "--origin needs a value"},
      {"unknown flag", {"--x"}, {}, "unknown flag --x"},
      {"a flag joined to its value", {"--origin=http://a"}, {}, "unknown flag --origin=http://a"},
      {"no-data-plane does not hide a later bad argument", {"--no-data-plane", "serve"}, {}, "unknown flag serve"},
      {"parsing stops at the first failure", {"--y", "--origin"}, {}, "unknown flag --y"},
      {"flags compare with their exact length", {"--dev "}, {}, "unknown flag --dev "},
      {"an argument that is not UTF-8", {"--dev", "--\xff"}, {}, "argument --\xEF\xBF\xBD is not valid UTF-8"},
      {"an origin that is not UTF-8", {"--origin", "http://\xc3("}, {}, "argument http://\xEF\xBF\xBD( is not valid UTF-8"},
      {"a bad argument stops parsing before a later one", {"\xe2\x82", "--origin"}, {}, "argument \xEF\xBF\xBD is not valid UTF-8"},
      {"an earlier failure comes first", {"--x", "\xff"}, {}, "unknown flag --x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto parsed = quernd::parse_args(c.args);
    if (c.error) {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.error().text, c.error);
      EXPECT_TRUE(parsed.error().causes.empty());
    } else {
      ASSERT_TRUE(parsed) << parsed.error().text;
      EXPECT_EQ(parsed->origins, c.origins);
    }
  }
}

}  // namespace
