// Helpers shared by this library's tests: a private temporary directory and
// scoped environment variables.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace quern_session::testing {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::string templ = "/tmp/quern-session-test-XXXXXX";
    if (!::mkdtemp(templ.data())) std::abort();
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Sets (or unsets, with nullopt) environment variables and restores them.
class ScopedEnv {
 public:
  void set(const char* name, std::optional<std::string> value) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->value) {
        ::setenv(it->name.c_str(), it->value->c_str(), 1);
      } else {
        ::unsetenv(it->name.c_str());
      }
    }
  }

 private:
  struct Saved {
    std::string name;
    std::optional<std::string> value;
  };
  std::vector<Saved> saved_;
};

}  // namespace quern_session::testing
