#include "quern_test_support/env.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

using namespace quern_test_support;

bool has(const std::vector<std::string>& env, const std::string& entry) {
  return std::ranges::count(env, entry) == 1;
}

TEST(Environment, ReplacesAndRemovesWholeNamesOnly) {
  ScopedEnv guard;
  guard.set("QT_KEEP", "1");
  guard.set("QT_KEEP_LONGER", "2");
  guard.set("QT_GONE", "3");
  guard.set("QT_GONE_NOT", "4");
  const auto env = environment({"QT_KEEP=new", "QT_ADDED=5"}, {"QT_GONE"});
  EXPECT_TRUE(has(env, "QT_KEEP=new"));
  EXPECT_FALSE(has(env, "QT_KEEP=1"));
  EXPECT_TRUE(has(env, "QT_KEEP_LONGER=2"));
  EXPECT_TRUE(has(env, "QT_ADDED=5"));
  EXPECT_FALSE(has(env, "QT_GONE=3"));
  EXPECT_TRUE(has(env, "QT_GONE_NOT=4"));
}

TEST(ScopedEnv, RestoresSetAndUnsetVariables) {
  ::setenv("QT_WAS_SET", "before", 1);
  ::unsetenv("QT_WAS_UNSET");
  {
    ScopedEnv guard("QT_WAS_SET", std::nullopt);
    guard.set("QT_WAS_UNSET", "now");
    guard.set("QT_WAS_UNSET", "again");
    EXPECT_EQ(std::getenv("QT_WAS_SET"), nullptr);
    EXPECT_STREQ(std::getenv("QT_WAS_UNSET"), "again");
  }
  EXPECT_STREQ(std::getenv("QT_WAS_SET"), "before");
  EXPECT_EQ(std::getenv("QT_WAS_UNSET"), nullptr);
  ::unsetenv("QT_WAS_SET");
}

}  // namespace
