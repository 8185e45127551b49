#include "fakes/support.hpp"

namespace quern_fakes {

TempRuntime::TempRuntime() {
  std::filesystem::create_directory(sessions());
  std::filesystem::permissions(sessions(), std::filesystem::perms::owner_all);
}

}  // namespace quern_fakes
