#include "quern_session/manifest.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quern_test_support/files.hpp"
#include "quern_test_support/socket.hpp"

namespace quern_session::manifest {
namespace {

namespace fs = std::filesystem;
using quern_test_support::TempDir;

// A manifest as a shim writes it, with `extra` members spliced in after id.
std::string manifest_json(const std::string& extra = "", const std::string& id = "\"s1\"") {
  return "{\"id\":" + id + "," + extra +
         "\"shim_pid\":100,\"shell_pid\":101,\"pgid\":101,\"tty\":\"ttys003\","
         "\"socket\":\"/run/q/sessions/abc.sock\",\"started_at\":{\"secs\":1700000000,"
         "\"micros\":250},\"boot_id\":\"B00T\"}";
}

Manifest expected_manifest() {
  Manifest m;
  m.id = PtyId{"s1"};
  m.shim_pid = 100;
  m.shell_pid = 101;
  m.pgid = 101;
  m.tty = "ttys003";
  m.socket = "/run/q/sessions/abc.sock";
  m.started_at = StartTime{1700000000, 250};
  m.boot_id = "B00T";
  return m;
}

std::string nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(ManifestDecode, AcceptsTheObjectAndArrayForms) {
  Manifest full = expected_manifest();
  full.shell_started_at = StartTime{1700000001, 7};
  full.cgroup = "/user.slice/q";
  Manifest negative = expected_manifest();
  negative.shim_pid = -2147483647 - 1;
  Manifest long_id = expected_manifest();
  long_id.id = PtyId{std::string(256, 'x')};
  Manifest empty_id = expected_manifest();
  empty_id.id = PtyId{""};

  const std::string array8 =
      R"(["s1",100,101,101,"ttys003","/run/q/sessions/abc.sock",[1700000000,250],"B00T")";
  struct Case {
    const char* name;
    std::string text;
    Manifest want;
  } cases[] = {
      {"plain", manifest_json(), expected_manifest()},
      {"optional fields present",
       manifest_json(R"("shell_started_at":{"micros":7,"secs":1700000001},"cgroup":"/user.slice/q",)"),
       full},
      {"optional fields null", manifest_json(R"("shell_started_at":null,"cgroup":null,)"),
       expected_manifest()},
      {"unknown members skipped, repeats too",
       manifest_json(R"("future":{"a":[1,2.5,null]},"future":true,"Shim_pid":"x",)"),
       expected_manifest()},
      {"start time extra members skipped",
       R"({"id":"s1","shim_pid":100,"shell_pid":101,"pgid":101,"tty":"ttys003",)"
       R"("socket":"/run/q/sessions/abc.sock","started_at":{"micros":250,"x":1,"secs":1700000000},)"
       R"("boot_id":"B00T"})",
       expected_manifest()},
      {"start time as an array",
       R"({"id":"s1","shim_pid":100,"shell_pid":101,"pgid":101,"tty":"ttys003",)"
       R"("socket":"/run/q/sessions/abc.sock","started_at":[1700000000,250],"boot_id":"B00T"})",
       expected_manifest()},
      {"negative pid", manifest_json().replace(manifest_json().find("100"), 3, "-2147483648"),
       negative},
      {"id of 256 bytes", manifest_json("", "\"" + std::string(256, 'x') + "\""), long_id},
      {"empty id", manifest_json("", "\"\""), empty_id},
      {"whitespace around", " \t\n" + manifest_json() + "\r\n", expected_manifest()},
      {"array of eight", array8 + "]", expected_manifest()},
      {"array of ten", array8 + R"(,[1700000001,7],"/user.slice/q"])", full},
      {"array of nine", array8 + ",null]", expected_manifest()},
      {"nesting at the limit", manifest_json("\"deep\":" + nested(126) + ","), expected_manifest()},
  };
  for (const auto& c : cases) {
    auto m = Manifest::decode(c.text);
    ASSERT_TRUE(m) << c.name << ": " << m.error().what();
    EXPECT_EQ(*m, c.want) << c.name;
  }
}

TEST(ManifestDecode, RefusesWhatIsNotAManifest) {
  const std::string base = manifest_json();
  const std::string no_boot_id = base.substr(0, base.find(",\"boot_id\"")) + "}";
  const std::string no_started_at =
      R"({"id":"s1","shim_pid":100,"shell_pid":101,"pgid":101,"tty":"t","socket":"/s","boot_id":"B"})";
  auto with_shim_pid = [&](const std::string& value) {
    return std::string(base).replace(base.find("100"), 3, value);
  };
  const std::string array7 =
      R"(["s1",100,101,101,"ttys003","/run/q/sessions/abc.sock",[1700000000,250]])";
  struct Case {
    const char* name;
    std::string text;
    std::string error;  // a part of the failure text
  } cases[] = {
      {"no boot_id", no_boot_id, "missing field `boot_id`"},
      {"no started_at", no_started_at, "missing field `started_at`"},
      {"shim_pid twice", manifest_json("\"shim_pid\":5,"), "duplicate field `shim_pid`"},
      {"shim_pid over i32", with_shim_pid("2147483648"),
       "invalid value: integer `2147483648`, expected i32"},
      {"shim_pid beyond 64 bits", with_shim_pid("99999999999999999999"),
       "invalid value: integer `99999999999999999999`, expected i32"},
      {"shim_pid with a fraction", with_shim_pid("100.0"),
       "floating point"},
      {"shim_pid with an exponent", with_shim_pid("1e2"),
       "floating point"},
      {"id of 257 bytes", manifest_json("", "\"" + std::string(257, 'x') + "\""),
       "invalid length 257, expected a PTY id of at most 256 bytes"},
      {"tty null", std::string(base).replace(base.find("\"ttys003\""), 9, "null"), "invalid type: null"},
      {"cgroup not a string", manifest_json("\"cgroup\":5,"), "invalid type: integer `5`"},
      {"second object", base + "\n" + base, "trailing characters"},
      {"not an object", "5", "invalid type"},
      {"invalid JSON", base.substr(0, base.size() - 1), "EOF while parsing"},
      {"not UTF-8", manifest_json("", "\"s\xff\""), ""},
      {"start time of one", manifest_json("\"shell_started_at\":[1],"), "invalid length 1"},
      {"start time of three", manifest_json("\"shell_started_at\":[1,2,3],"), "invalid length 3"},
      {"start time secs twice", manifest_json(R"("shell_started_at":{"secs":1,"secs":2,"micros":0},)"),
       "duplicate field `secs`"},
      {"start time without micros", manifest_json(R"("shell_started_at":{"secs":1},)"),
       "missing field `micros`"},
      {"array of seven", array7, "invalid length 7"},
      {"array of eleven",
       R"(["s1",100,101,101,"t","/s",[1,2],"B",null,null,"extra"])", "invalid length 11"},
      {"nesting over the limit", manifest_json("\"deep\":" + nested(127) + ","),
       "recursion limit exceeded"},
  };
  for (const auto& c : cases) {
    auto m = Manifest::decode(c.text);
    ASSERT_FALSE(m) << c.name;
    EXPECT_NE(m.error().what().find(c.error), std::string::npos) << c.name << ": " << m.error().what();
  }
}

void write(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

TEST(ManifestRead, ReportsTheFailureWithThePath) {
  TempDir tmp;
  write(tmp / "good.json", manifest_json());
  write(tmp / "bad.json", "{\"id\":");
  fs::create_directory(tmp / "dir.json");
  fs::create_symlink(tmp / "good.json", tmp / "link.json");

  auto good = Manifest::read(tmp / "link.json");
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, expected_manifest());

  auto missing = Manifest::read(tmp / "missing.json");
  ASSERT_FALSE(missing);
  ASSERT_TRUE(missing.error().is<ManifestError::Io>());
  EXPECT_EQ(std::get<ManifestError::Io>(missing.error().value).error.kind(), ErrorKind::NotFound);
  EXPECT_EQ(std::get<ManifestError::Io>(missing.error().value).path, tmp / "missing.json");

  auto dir = Manifest::read(tmp / "dir.json");
  ASSERT_FALSE(dir);
  EXPECT_TRUE(dir.error().is<ManifestError::Io>());

  auto bad = Manifest::read(tmp / "bad.json");
  ASSERT_FALSE(bad);
  ASSERT_TRUE(bad.error().is<ManifestError::Json>());
  EXPECT_EQ(std::get<ManifestError::Json>(bad.error().value).path, tmp / "bad.json");
}

TEST(ManifestRead, AFileOverTheLimitIsUnreadableAndNeverLoadedWhole) {
  // White space pads a valid manifest to exactly the limit, and one byte
  // more; a link to an endless device is refused without reading it all.
  TempDir tmp;
  const std::string text = manifest_json();
  write(tmp / "at-limit.json", text + std::string(MANIFEST_LIMIT - text.size(), ' '));
  write(tmp / "over-limit.json", text + std::string(MANIFEST_LIMIT + 1 - text.size(), ' '));
  fs::create_symlink("/dev/zero", tmp / "endless.json");

  auto at = Manifest::read(tmp / "at-limit.json");
  ASSERT_TRUE(at) << "a file of exactly the limit is read";
  EXPECT_EQ(*at, expected_manifest());
  for (const char* name : {"over-limit.json", "endless.json"}) {
    SCOPED_TRACE(name);
    auto over = Manifest::read(tmp / name);
    ASSERT_FALSE(over);
    ASSERT_TRUE(over.error().is<ManifestError::Io>());
    const auto& io = std::get<ManifestError::Io>(over.error().value);
    EXPECT_EQ(io.error.kind(), ErrorKind::InvalidData);
    EXPECT_EQ(io.error.what(), "larger than 1048576 bytes");
  }
}

TEST(ManifestList, TakesEveryJsonEntryOfTheSessionsDirectory) {
  TempDir tmp;
  paths::Runtime rt{tmp / "root"};
  ASSERT_TRUE(rt.ensure());
  fs::path s = rt.sessions_dir();
  Manifest second = expected_manifest();
  second.id = PtyId{"s2"};

  quern_test_support::dead_socket(s / "ba7816bf8f01.sock");
  write(s / "ba7816bf8f01.json", manifest_json());
  write(s / "a.b.json", manifest_json("", "\"s2\""));
  write(s / "broken.json", "{not json");
  write(s / "missing-field.json", "{\"id\":\"s3\"}");
  fs::create_directory(s / "dir.json");
  ASSERT_EQ(::mkfifo((s / "pipe.json").c_str(), 0600), 0);  // must not block the listing
  write(s / "notes.txt", manifest_json());
  write(s / ".json", manifest_json());
  write(s / "upper.JSON", manifest_json());
  write(s / "json", manifest_json());

  auto listed = Manifest::list(rt);
  ASSERT_TRUE(listed);
  auto& [manifests, unreadable] = *listed;
  auto by_id = [](const Manifest& a, const Manifest& b) { return a.id < b.id; };
  std::sort(manifests.begin(), manifests.end(), by_id);
  std::sort(unreadable.begin(), unreadable.end());
  EXPECT_EQ(manifests, (std::vector<Manifest>{expected_manifest(), second}));
  EXPECT_EQ(unreadable, (std::vector<fs::path>{s / "broken.json", s / "dir.json", s / "missing-field.json",
                                           s / "pipe.json"}));
}

TEST(ManifestList, AManifestThatCannotBeOpenedForWantOfDescriptorsIsNotUnreadable) {
  // Its caller removes unreadable manifests: a good one must not be among
  // them only because the process had no descriptor left to open it with.
  TempDir tmp;
  paths::Runtime rt{tmp / "root"};
  ASSERT_TRUE(rt.ensure());
  write(rt.sessions_dir() / "ba7816bf8f01.json", manifest_json());
  auto list_with_one_descriptor_left = [&rt] {
    // The directory takes the last one.
    const int lowest = ::open("/dev/null", O_RDONLY);
    ::close(lowest);
    const rlimit limit{static_cast<rlim_t>(lowest + 1), static_cast<rlim_t>(lowest + 1)};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) std::_Exit(2);
    auto listed = Manifest::list(rt);
    std::_Exit(!listed ? 3 : !listed->first.empty() ? 4 : !listed->second.empty() ? 5 : 0);
  };
  EXPECT_EXIT(list_with_one_descriptor_left(), ::testing::ExitedWithCode(0), "");
}

TEST(ManifestList, MissingDirectoriesHoldNoSession) {
  TempDir tmp;
  for (const fs::path& root : {tmp / "no-root", tmp.path}) {
    auto listed = Manifest::list(paths::Runtime{root});
    ASSERT_TRUE(listed) << root;
    EXPECT_TRUE(listed->first.empty());
    EXPECT_TRUE(listed->second.empty());
  }
}

TEST(ManifestList, SessionsThatIsAFileIsAnError) {
  TempDir tmp;
  write(tmp / "sessions", "");
  auto listed = Manifest::list(paths::Runtime{tmp.path});
  ASSERT_FALSE(listed);
  ASSERT_TRUE(listed.error().is<ManifestError::Io>());
  const auto& io = std::get<ManifestError::Io>(listed.error().value);
  EXPECT_EQ(io.error.kind(), ErrorKind::NotADirectory);
  EXPECT_EQ(io.path, tmp / "sessions");
}

}  // namespace
}  // namespace quern_session::manifest
