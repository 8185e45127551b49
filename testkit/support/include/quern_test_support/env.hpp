// The environment of tests and of the processes they start.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quern_test_support {

// Sets (or unsets, with nullopt) variables of this process and restores
// them, latest first, at the end.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  // The guard of one variable.
  ScopedEnv(const char* name, std::optional<std::string> value) { set(name, std::move(value)); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

  void set(const char* name, std::optional<std::string> value);

 private:
  struct Saved {
    std::string name;
    std::optional<std::string> value;
  };
  std::vector<Saved> saved_;
};

// This process's environment with the variables of `set` ("NAME=value")
// given anew and those named in `unset` left out.
std::vector<std::string> environment(const std::vector<std::string>& set, const std::vector<std::string>& unset = {});

}  // namespace quern_test_support
