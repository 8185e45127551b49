#include "quern_session/paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <string>

#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "quern_session/text.hpp"

namespace quern_session::paths {
namespace fs = std::filesystem;

namespace {

constexpr mode_t DIR_MODE = 0700;

std::string uid_text() { return std::to_string(static_cast<unsigned long long>(getuid())); }

const char* env(const char* name) { return std::getenv(name); }

// The directory for per-user temporary files.
fs::path temp_dir() {
  if (const char* tmp = env("TMPDIR")) return fs::path(tmp);
#if defined(__APPLE__)
  if (std::size_t n = confstr(_CS_DARWIN_USER_TEMP_DIR, nullptr, 0); n > 0) {
    std::string buf(n, '\0');
    if (confstr(_CS_DARWIN_USER_TEMP_DIR, buf.data(), n) == n) {
      buf.resize(n - 1);
      return fs::path(buf);
    }
  }
#endif
  return fs::path("/tmp");
}

// The parent of `p`, ignoring trailing separators; empty when there is none.
fs::path parent_of(const fs::path& p) {
  std::string s = p.native();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return fs::path(s).parent_path();
}

bool is_dir_following_links(const fs::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p with mode 0700 for every directory created. An existing
// directory, also one reached through a symlink, counts as created.
std::expected<void, OsError> create_dir_all(const fs::path& p) {
  if (p.empty()) return {};
  if (::mkdir(p.c_str(), DIR_MODE) == 0) return {};
  int err = errno;
  if (err == EEXIST && is_dir_following_links(p)) return {};
  if (err != ENOENT) return std::unexpected(OsError::from_errno(err));

  fs::path parent = parent_of(p);
  if (parent == p) return std::unexpected(OsError::from_errno(err));
  if (auto made = create_dir_all(parent); !made) return made;

  if (::mkdir(p.c_str(), DIR_MODE) == 0) return {};
  err = errno;
  if (err == EEXIST && is_dir_following_links(p)) return {};
  return std::unexpected(OsError::from_errno(err));
}

std::expected<struct stat, OsError> lstat_of(const fs::path& p) {
  struct stat st;
  if (::lstat(p.c_str(), &st) != 0) return std::unexpected(OsError::last());
  return st;
}

OsError bad_dir(ErrorKind kind, const fs::path& p, std::string_view why) {
  return OsError::custom(kind, display(p) + ": " + std::string(why));
}

// `p` without trailing separators, so that a symbolic link at its end is not
// followed; the root stays "/".
fs::path without_trailing_slashes(const fs::path& p) {
  std::string s = p.native();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return fs::path(std::move(s));
}

std::expected<void, OsError> ensure_dir(const fs::path& given) {
  if (auto made = create_dir_all(given); !made) return made;
  // Checked and changed as named, not through a link: "link/" names the
  // link's target.
  const fs::path p = without_trailing_slashes(given);
  auto st = lstat_of(p);
  if (!st) return std::unexpected(st.error());
  if (S_ISLNK(st->st_mode)) return std::unexpected(bad_dir(ErrorKind::InvalidInput, given, "is a symlink"));
  if (!S_ISDIR(st->st_mode)) {
    return std::unexpected(bad_dir(ErrorKind::InvalidInput, given, "is not a directory"));
  }
  if (st->st_uid != getuid()) {
    return std::unexpected(bad_dir(ErrorKind::PermissionDenied, given,
                                   "owned by uid " + std::to_string(st->st_uid)));
  }
  if ((st->st_mode & 0777) == DIR_MODE) return {};

  if (::chmod(p.c_str(), DIR_MODE) != 0) return std::unexpected(OsError::last());
  st = lstat_of(p);
  if (!st) return std::unexpected(st.error());
  mode_t bits = st->st_mode & 0777;
  if (bits == DIR_MODE) return {};
  char octal[8];
  std::snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(bits));
  return std::unexpected(
      bad_dir(ErrorKind::InvalidInput, given, "mode " + std::string(octal) + " after chmod 700"));
}

}  // namespace

Runtime Runtime::from_env() {
  if (const char* dir = env("QUERN_RUNTIME_DIR")) return Runtime{fs::path(dir)};
  if (const char* xdg = env("XDG_RUNTIME_DIR")) return Runtime{fs::path(xdg) / "quern"};
  return Runtime{temp_dir() / ("quern-" + uid_text())};
}

std::expected<void, OsError> Runtime::ensure() const {
  if (auto r = ensure_dir(root); !r) return r;
  return ensure_dir(sessions_dir());
}

fs::path Runtime::sessions_dir() const { return root / "sessions"; }

fs::path Runtime::daemon_socket() const {
  return root / ("quern-" + short_hash(uid_text()) + ".sock");
}

fs::path Runtime::session_socket(const quern_protocol::message::PtyId& id) const {
  return sessions_dir() / (short_hash(id.text) + ".sock");
}

fs::path Runtime::session_manifest(const quern_protocol::message::PtyId& id) const {
  return sessions_dir() / (short_hash(id.text) + ".json");
}

fs::path Runtime::daemon_pid_file() const { return root / "quernd.pid"; }

fs::path Runtime::data_endpoint() const { return root / "quernd-data.json"; }

std::string short_hash(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  // SHA-256 over a memory buffer fails only when the library cannot allocate.
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha256(), nullptr) != 1) std::abort();
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(12);
  for (int i = 0; i < 6; ++i) {
    out += HEX[digest[i] >> 4];
    out += HEX[digest[i] & 0xF];
  }
  return out;
}

std::string display(const fs::path& p) { return text::utf8_lossy(p.native()); }

}  // namespace quern_session::paths
