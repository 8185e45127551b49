#include "quern_session/paths.hpp"

#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quern_test_support/env.hpp"
#include "quern_test_support/files.hpp"

namespace quern_session::paths {
namespace {

namespace fs = std::filesystem;
using quern_protocol::message::PtyId;
using quern_test_support::ScopedEnv;
using quern_test_support::TempDir;

std::string uid() { return std::to_string(getuid()); }

mode_t mode_of(const fs::path& p) {
  struct stat st;
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(ShortHash, IsTheFirstSixDigestBytesInLowercaseHex) {
  struct Case {
    std::string input, hash;
  } cases[] = {
      {"abc", "ba7816bf8f01"},
      {"", "e3b0c44298fc"},
      {"501", "1158e7e12c5e"},
      {std::string("a\0b", 3), "59b271ae1bbc"},  // every byte counts, NUL included
  };
  for (const auto& c : cases) EXPECT_EQ(short_hash(c.input), c.hash) << c.input;
}

TEST(RuntimeFromEnv, TakesTheFirstSourceThatIsSet) {
  using Opt = std::optional<std::string>;
  struct Case {
    Opt quern, xdg, tmpdir;
    std::string root;
  } cases[] = {
      {"/srv/q", "/run/user/501", "/var/tmp", "/srv/q"},
      {"", "/run/user/501", std::nullopt, ""},
      {"rel/../x//", std::nullopt, std::nullopt, "rel/../x//"},
      {"/tmp/\xff\xfe", std::nullopt, std::nullopt, "/tmp/\xff\xfe"},
      {std::nullopt, "/run/user/501", "/var/tmp", "/run/user/501/quern"},
      {std::nullopt, "/run/user/501/", std::nullopt, "/run/user/501/quern"},
      {std::nullopt, "", std::nullopt, "quern"},
      {std::nullopt, std::nullopt, "/var/tmp", "/var/tmp/quern-" + uid()},
      {std::nullopt, std::nullopt, "/var/tmp/", "/var/tmp/quern-" + uid()},
      {std::nullopt, std::nullopt, "", "quern-" + uid()},
      {std::nullopt, std::nullopt, std::nullopt, "/tmp/quern-" + uid()},
  };
  for (const auto& c : cases) {
    ScopedEnv env;
    env.set("QUERN_RUNTIME_DIR", c.quern);
    env.set("XDG_RUNTIME_DIR", c.xdg);
    env.set("TMPDIR", c.tmpdir);
    EXPECT_EQ(Runtime::from_env().root.native(), c.root)
        << c.quern.value_or("-") << " " << c.xdg.value_or("-") << " " << c.tmpdir.value_or("-");
  }
}

TEST(RuntimeNames, AreJoinedOntoTheRoot) {
  PtyId abc{"abc"};
  std::string daemon = "quern-" + short_hash(uid()) + ".sock";
  struct Case {
    std::string root, prefix;
  } cases[] = {{"/r", "/r/"}, {"/r/", "/r/"}, {"", ""}, {"rel", "rel/"}};
  for (const auto& c : cases) {
    Runtime rt{c.root};
    EXPECT_EQ(rt.session_socket(abc).native(), c.prefix + "sessions/ba7816bf8f01.sock");
    EXPECT_EQ(rt.session_manifest(abc).native(), c.prefix + "sessions/ba7816bf8f01.json");
    EXPECT_EQ(rt.session_socket(PtyId{""}).native(), c.prefix + "sessions/e3b0c44298fc.sock");
    EXPECT_EQ(rt.daemon_socket().native(), c.prefix + daemon);
    EXPECT_EQ(rt.daemon_pid_file().native(), c.prefix + "quernd.pid");
    EXPECT_EQ(rt.data_endpoint().native(), c.prefix + "quernd-data.json");
  }
  // Ids with separators or dots never leave the sessions directory.
  Runtime rt{"/r"};
  EXPECT_EQ(rt.session_socket(PtyId{"../../etc/passwd"}).parent_path(), fs::path("/r/sessions"));
}

// One shape of the runtime directory, and what ensure() must say about it.
struct EnsureCase {
  const char* name;
  std::function<void(const fs::path& root)> setup;
  std::optional<ErrorKind> kind;  // none: success
  std::string text;               // with {root} standing for the root's path
};

std::string fill(std::string text, const fs::path& root) {
  if (auto at = text.find("{root}"); at != std::string::npos) text.replace(at, 6, root.native());
  return text;
}

void make_dir(const fs::path& p, mode_t mode) {
  ASSERT_EQ(::mkdir(p.c_str(), 0700), 0) << p;
  ASSERT_EQ(::chmod(p.c_str(), mode), 0) << p;
}

void make_file(const fs::path& p) {
  FILE* f = std::fopen(p.c_str(), "w");
  ASSERT_NE(f, nullptr) << p;
  std::fclose(f);
}

TEST(RuntimeEnsure, ChecksEachDirectoryInOrder) {
  const EnsureCase cases[] = {
      {"missing root and parents", [](const fs::path&) {}, std::nullopt, ""},
      {"existing root 0700", [](const fs::path& r) { make_dir(r, 0700); }, std::nullopt, ""},
      {"root 0755 is fixed", [](const fs::path& r) { make_dir(r, 0755); }, std::nullopt, ""},
      {"root 0777 is fixed", [](const fs::path& r) { make_dir(r, 0777); }, std::nullopt, ""},
      {"sessions 0750 is fixed",
       [](const fs::path& r) {
         make_dir(r, 0700);
         make_dir(r / "sessions", 0750);
       },
       std::nullopt, ""},
      {"root is a regular file", [](const fs::path& r) { make_file(r); }, ErrorKind::AlreadyExists,
       "File exists (os error 17)"},
      {"root is a dangling symlink",
       [](const fs::path& r) { ASSERT_EQ(::symlink("/nonexistent/quern", r.c_str()), 0); },
       ErrorKind::AlreadyExists, "File exists (os error 17)"},
      {"root is a symlink to a directory",
       [](const fs::path& r) {
         make_dir(r.native() + "-target", 0755);
         ASSERT_EQ(::symlink((r.native() + "-target").c_str(), r.c_str()), 0);
       },
       ErrorKind::InvalidInput, "{root}: is a symlink"},
      {"sessions is a regular file",
       [](const fs::path& r) {
         make_dir(r, 0755);
         make_file(r / "sessions");
       },
       ErrorKind::AlreadyExists, "File exists (os error 17)"},
      {"sessions is a symlink",
       [](const fs::path& r) {
         make_dir(r, 0700);
         make_dir(r.native() + "-elsewhere", 0700);
         ASSERT_EQ(::symlink((r.native() + "-elsewhere").c_str(), (r / "sessions").c_str()), 0);
       },
       ErrorKind::InvalidInput, "{root}/sessions: is a symlink"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    fs::path root = tmp / "a/b/root";
    fs::create_directories(root.parent_path());
    c.setup(root);
    if (::testing::Test::HasFatalFailure()) return;

    auto result = Runtime{root}.ensure();
    if (!c.kind) {
      ASSERT_TRUE(result) << result.error().what();
      EXPECT_EQ(mode_of(root), 0700u);
      EXPECT_EQ(mode_of(root / "sessions"), 0700u);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().kind(), *c.kind);
      EXPECT_EQ(result.error().what(), fill(c.text, root));
    }
  }
}

TEST(RuntimeEnsure, CreatesMissingParentsWithMode0700) {
  TempDir tmp;
  mode_t old = ::umask(022);
  auto result = Runtime{tmp / "x/y/root"}.ensure();
  ::umask(old);
  ASSERT_TRUE(result) << result.error().what();
  EXPECT_EQ(mode_of(tmp / "x"), 0700u);
  EXPECT_EQ(mode_of(tmp / "x/y"), 0700u);
  EXPECT_EQ(mode_of(tmp / "x/y/root/sessions"), 0700u);
}

TEST(RuntimeEnsure, NeverChangesWhatItRefuses) {
  TempDir tmp;
  // The target of a symlinked root keeps its mode.
  make_dir(tmp / "target", 0755);
  ASSERT_EQ(::symlink((tmp / "target").c_str(), (tmp / "link").c_str()), 0);
  EXPECT_FALSE(Runtime{tmp / "link"}.ensure());
  EXPECT_EQ(mode_of(tmp / "target"), 0755u);
  EXPECT_FALSE(fs::exists(tmp / "target/sessions"));

  // A root that fails leaves the sessions directory untouched.
  make_file(tmp / "file");
  EXPECT_FALSE(Runtime{tmp / "file"}.ensure());
}

TEST(RuntimeEnsure, TrailingSlashesDoNotLeadThroughASymlink) {
  // A root named with trailing slashes is checked as the path without them:
  // a symlink there is refused and its target left as it was.
  const struct {
    const char* root;
    bool link;
  } cases[] = {{"link/", true}, {"link//", true}, {"dir/", false}, {"dir///", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root);
    TempDir tmp;
    make_dir(tmp / "target", 0755);
    if (c.link) {
      ASSERT_EQ(::symlink((tmp / "target").c_str(), (tmp / "link").c_str()), 0);
    } else {
      make_dir(tmp / "dir", 0755);
    }
    const fs::path root = tmp.path.native() + "/" + c.root;
    auto result = Runtime{root}.ensure();
    if (c.link) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().kind(), ErrorKind::InvalidInput);
      EXPECT_EQ(result.error().what(), root.native() + ": is a symlink");
      EXPECT_EQ(mode_of(tmp / "target"), 0755u);
      EXPECT_FALSE(fs::exists(tmp / "target/sessions"));
    } else {
      ASSERT_TRUE(result) << result.error().what();
      EXPECT_EQ(mode_of(tmp / "dir"), 0700u);
      EXPECT_EQ(mode_of(tmp / "dir/sessions"), 0700u);
    }
  }
}

TEST(RuntimeEnsure, SessionsFailureKeepsTheRootsModeChange) {
  TempDir tmp;
  fs::path root = tmp / "root";
  make_dir(root, 0755);
  make_file(root / "sessions");
  EXPECT_FALSE(Runtime{root}.ensure());
  EXPECT_EQ(mode_of(root), 0700u);
}

TEST(RuntimeEnsure, LeavesTheSpecialBitsOfA0700Directory) {
  TempDir tmp;
  fs::path root = tmp / "root";
  make_dir(root, 01700);
  ASSERT_TRUE(Runtime{root}.ensure());
  EXPECT_EQ(mode_of(root), 01700u);
}

TEST(RuntimeEnsure, RefusesADirectoryOfAnotherUserWithoutChangingIt) {
  TempDir tmp;
  fs::path root = tmp / "root";
  make_dir(root, 0755);
  uid_t other = getuid() + 4242;
  if (::chown(root.c_str(), other, static_cast<gid_t>(-1)) != 0) {
    GTEST_SKIP() << "this user cannot give a directory away";
  }
  auto result = Runtime{root}.ensure();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::PermissionDenied);
  EXPECT_EQ(result.error().what(), root.native() + ": owned by uid " + std::to_string(other));
  EXPECT_EQ(mode_of(root), 0755u);
  EXPECT_FALSE(fs::exists(root / "sessions"));
}

TEST(RuntimeEnsure, EmptyRootIsNotFound) {
  auto result = Runtime{""}.ensure();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::NotFound);
  EXPECT_EQ(result.error().what(), "No such file or directory (os error 2)");
}

TEST(RuntimeEnsure, SecondCallSucceedsAndChangesNothing) {
  TempDir tmp;
  Runtime rt{tmp / "root"};
  ASSERT_TRUE(rt.ensure());
  struct stat before, after;
  ASSERT_EQ(::lstat(rt.root.c_str(), &before), 0);
  ASSERT_TRUE(rt.ensure());
  ASSERT_EQ(::lstat(rt.root.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mode, after.st_mode);
  EXPECT_EQ(before.st_ctime, after.st_ctime);
#if defined(__linux__)
  EXPECT_EQ(before.st_ctim.tv_nsec, after.st_ctim.tv_nsec);
#endif
}

TEST(RuntimeEnsure, ShowsBytesThatAreNotUtf8AsReplacementCharacters) {
  TempDir tmp;
  fs::path root = tmp / "bad\xff\xc3(name";
  make_dir(tmp / "target", 0700);
  ASSERT_EQ(::symlink((tmp / "target").c_str(), root.c_str()), 0);
  auto result = Runtime{root}.ensure();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().what(), tmp.path.native() + "/bad\xEF\xBF\xBD\xEF\xBF\xBD(name: is a symlink");
}

}  // namespace
}  // namespace quern_session::paths
