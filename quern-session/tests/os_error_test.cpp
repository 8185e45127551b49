#include "quern_session/os_error.hpp"

#include <cerrno>

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

namespace quern_session {
namespace {

TEST(OsError, KeepsTheKindAndTheSystemsText) {
  struct Case {
    int err;
    ErrorKind kind;
    std::string text;
  } cases[] = {
      {ENOENT, ErrorKind::NotFound, "No such file or directory (os error 2)"},
      {EACCES, ErrorKind::PermissionDenied, "Permission denied (os error 13)"},
      {EEXIST, ErrorKind::AlreadyExists, "File exists (os error 17)"},
      {ENOTDIR, ErrorKind::NotADirectory, "Not a directory (os error 20)"},
  };
  for (const auto& c : cases) {
    auto e = OsError::from_errno(c.err);
    EXPECT_EQ(e.kind(), c.kind);
    EXPECT_EQ(e.raw_os_error(), c.err);
    EXPECT_EQ(e.what(), c.text);
  }
  auto own = OsError::custom(ErrorKind::InvalidInput, "/r: is a symlink");
  EXPECT_EQ(own.kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(own.raw_os_error(), 0);
  EXPECT_EQ(own.what(), "/r: is a symlink");
}

TEST(OsError, FromAnAsioErrorKeepsTheErrnoOfSystemErrors) {
  auto refused = OsError::from_error_code(boost::asio::error::connection_refused);
  EXPECT_EQ(refused.kind(), ErrorKind::ConnectionRefused);
  EXPECT_EQ(refused.raw_os_error(), ECONNREFUSED);
  EXPECT_EQ(refused.what(), OsError::from_errno(ECONNREFUSED).what());

  auto eof = OsError::from_error_code(boost::asio::error::eof);
  EXPECT_EQ(eof.kind(), ErrorKind::Other);
  EXPECT_EQ(eof.raw_os_error(), 0);
  EXPECT_EQ(eof.what(), "End of file");
}

}  // namespace
}  // namespace quern_session
