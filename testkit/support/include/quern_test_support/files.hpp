// Files for tests: a private temporary directory, and whole-file reads and
// writes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quern_test_support {

// A fresh directory /tmp/<prefix>-XXXXXX, removed with everything in it at
// the end. Directly under /tmp, so that socket paths inside it stay short.
struct TempDir {
  explicit TempDir(std::string_view prefix = "quern-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::filesystem::path operator/(const std::filesystem::path& name) const { return path / name; }

  std::filesystem::path path;
};

// The whole content of `p`; empty when it cannot be read.
std::string read_file(const std::filesystem::path& p);
// Writes `text` to `p`, replacing the file; throws when it cannot.
void write_file(const std::filesystem::path& p, std::string_view text);
// Whether another open file description could take the exclusive lock on
// `p` now.
bool lockable(const std::filesystem::path& p);

}  // namespace quern_test_support
