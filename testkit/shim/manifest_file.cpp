#include "manifest_file.hpp"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "quern_protocol/json_writer.hpp"
#include "quern_session/os_error.hpp"

namespace quern_shim {
namespace {

boost::json::value start_time_json(const quern_session::procinfo::StartTime& t) {
  return boost::json::object{{"secs", t.secs}, {"micros", t.micros}};
}

std::string os_text(int err) { return quern_session::OsError::from_errno(err).what(); }

}  // namespace

std::string manifest_json(const quern_session::manifest::Manifest& m) {
  boost::json::object o;
  o["id"] = m.id.text;
  o["shim_pid"] = m.shim_pid;
  o["shell_pid"] = m.shell_pid;
  o["pgid"] = m.pgid;
  o["tty"] = m.tty;
  o["socket"] = m.socket.native();
  o["started_at"] = start_time_json(m.started_at);
  o["boot_id"] = m.boot_id;
  o["shell_started_at"] = m.shell_started_at ? start_time_json(*m.shell_started_at) : nullptr;
  o["cgroup"] = m.cgroup ? boost::json::value(*m.cgroup) : nullptr;
  return quern_protocol::json::write_compact(o);
}

std::expected<void, std::string> write_manifest(const std::filesystem::path& path,
                                                const quern_session::manifest::Manifest& manifest) {
  const std::string text = manifest_json(manifest);
  // The suffix keeps the temporary name out of the manifest listing (it does not end in .json).
  std::filesystem::path tmp = path;
  tmp += ".tmp." + std::to_string(::getpid());

  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return std::unexpected("cannot write " + tmp.native() + ": " + os_text(errno));
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      return std::unexpected("cannot write " + tmp.native() + ": " + os_text(err));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    return std::unexpected("cannot write " + path.native() + ": " + os_text(err));
  }
  return {};
}

}  // namespace quern_shim
