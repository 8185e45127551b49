#include "quern_test_support/env.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

extern char** environ;

namespace quern_test_support {

void ScopedEnv::set(const char* name, std::optional<std::string> value) {
  const char* old = std::getenv(name);
  saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->value) {
      ::setenv(it->name.c_str(), it->value->c_str(), 1);
    } else {
      ::unsetenv(it->name.c_str());
    }
  }
}

std::vector<std::string> environment(const std::vector<std::string>& set, const std::vector<std::string>& unset) {
  auto named = [](std::string_view entry, std::string_view name) {
    return entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=';
  };
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view entry = *e;
    const bool replaced = std::ranges::any_of(set, [&](const std::string& s) {
      return named(entry, std::string_view(s).substr(0, s.find('=')));
    });
    const bool removed = std::ranges::any_of(unset, [&](const std::string& name) { return named(entry, name); });
    if (!replaced && !removed) env.emplace_back(entry);
  }
  env.insert(env.end(), set.begin(), set.end());
  return env;
}

}  // namespace quern_test_support
