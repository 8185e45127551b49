// The daemon's command line.
#include "main.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "timings.hpp"

namespace {

using namespace std::chrono_literals;
using Origins = std::vector<std::string>;
using quernd::Timings;

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
      EXPECT_EQ(parsed->timings, Timings::product());
    }
  }
}

TEST(Timings, TheProductsLimitsAreExact) {
  const Timings t = Timings::product();
  EXPECT_EQ(t.probe, 2s);
  EXPECT_EQ(t.reply, 2s);
  EXPECT_EQ(t.report, 10s);
  EXPECT_EQ(t.kill.hangup_pause, 1s);
  EXPECT_EQ(t.kill.round_waits, (std::array<quernd::Duration, 4>{300ms, 700ms, 1500ms, 2500ms}));
  EXPECT_EQ(t.kill.settle, 300ms);
  EXPECT_EQ(t.drain, 8s);
  EXPECT_EQ(t.ws.idle, 15s);
  EXPECT_EQ(t.ws.ping_period, 5s);
  EXPECT_EQ(t.ws.overflow_close, 10s);
  EXPECT_EQ(t.ws.finish_close, 2s);
  EXPECT_EQ(t.upgrade, 3s);
}

TEST(Args, TheTestOnlyTimingOnlyShortensTheLimitItNames) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Timings&)> change;  // from the product's, when parsing succeeds
    const char* error = nullptr;           // when it fails
  };
  const Case cases[] = {
      {"probe", {"--test-only-timing", "probe=500"}, [](Timings& t) { t.probe = 500ms; }},
      {"reply", {"--test-only-timing", "reply=1"}, [](Timings& t) { t.reply = 1ms; }},
      {"report at the product's value", {"--test-only-timing", "report=10000"}, [](Timings&) {}},
      {"a kill chain's pause", {"--test-only-timing", "kill.hangup_pause=100"},
       [](Timings& t) { t.kill.hangup_pause = 100ms; }},
      {"a kill chain's last round", {"--test-only-timing", "kill.round_waits.3=250"},
       [](Timings& t) { t.kill.round_waits[3] = 250ms; }},
      {"a kill chain's settling", {"--test-only-timing", "kill.settle=30"}, [](Timings& t) { t.kill.settle = 30ms; }},
      {"drain", {"--test-only-timing", "drain=800"}, [](Timings& t) { t.drain = 800ms; }},
      {"idle and ping period, beside an origin",
       {"--test-only-timing", "ws.idle=3000", "--dev", "--test-only-timing", "ws.ping_period=1000"},
       [](Timings& t) { t.ws.idle = 3000ms, t.ws.ping_period = 1000ms; }},
      {"the closes", {"--test-only-timing", "ws.overflow_close=7", "--test-only-timing", "ws.finish_close=8"},
       [](Timings& t) { t.ws.overflow_close = 7ms, t.ws.finish_close = 8ms; }},
      {"the last of two settings wins", {"--test-only-timing", "upgrade=100", "--test-only-timing", "upgrade=200"},
       [](Timings& t) { t.upgrade = 200ms; }},
      {"longer than the product's", {"--test-only-timing", "report=10001"}, {},
       "--test-only-timing report=10001: report takes 1 to 10000 ms"},
      {"zero", {"--test-only-timing", "drain=0"}, {}, "--test-only-timing drain=0: drain takes 1 to 8000 ms"},
      {"negative", {"--test-only-timing", "drain=-5"}, {}, "--test-only-timing drain=-5: drain takes 1 to 8000 ms"},
      {"not whole milliseconds", {"--test-only-timing", "drain=1.5"}, {},
       "--test-only-timing drain=1.5: drain takes 1 to 8000 ms"},
      {"no number", {"--test-only-timing", "drain="}, {}, "--test-only-timing drain=: drain takes 1 to 8000 ms"},
      {"too many digits", {"--test-only-timing", "drain=99999999999999999999"}, {},
       "--test-only-timing drain=99999999999999999999: drain takes 1 to 8000 ms"},
      {"an unknown name", {"--test-only-timing", "idle=5"}, {}, "--test-only-timing idle=5 names no time limit"},
      {"no equals sign", {"--test-only-timing", "ws.idle"}, {}, "--test-only-timing ws.idle names no time limit"},
      {"no value", {"--dev", "--test-only-timing"}, {}, "--test-only-timing needs a value"},
      {"a value that is not UTF-8", {"--test-only-timing", "drain=\xff"}, {},
       "argument drain=\xEF\xBF\xBD is not valid UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto parsed = quernd::parse_args(c.args);
    if (c.error) {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.error().text, c.error);
    } else {
      ASSERT_TRUE(parsed) << parsed.error().text;
      Timings expected = Timings::product();
      c.change(expected);
      EXPECT_EQ(parsed->timings, expected);
    }
  }
}

}  // namespace
