#include "quern_test_support/runtime.hpp"

namespace quern_test_support {

TempRuntime::TempRuntime() {
  std::filesystem::create_directory(sessions());
  std::filesystem::permissions(sessions(), std::filesystem::perms::owner_all);
}

}  // namespace quern_test_support
