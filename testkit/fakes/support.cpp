#include "fakes/support.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

namespace quern_fakes {

TempRuntime::TempRuntime() {
  // Under /tmp itself: socket paths must stay short.
  std::string dir = "/tmp/quern-test-XXXXXX";
  if (!::mkdtemp(dir.data()))
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  runtime_.root = dir;
  std::filesystem::create_directory(sessions());
  std::filesystem::permissions(sessions(), std::filesystem::perms::owner_all);
}

TempRuntime::~TempRuntime() {
  std::error_code ignored;
  std::filesystem::remove_all(runtime_.root, ignored);
}

}  // namespace quern_fakes
