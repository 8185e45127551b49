// The manifest decoder: whatever it accepts, written back as an object and as
// an array of the fields in order, decodes to the same manifest. No input may
// make it throw.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "quern_protocol/json_writer.hpp"
#include "quern_session/manifest.hpp"

namespace {

namespace json = boost::json;
using quern_session::manifest::Manifest;
using quern_session::procinfo::StartTime;

void require(bool ok) {
  if (!ok) std::abort();
}

json::value start_time(const StartTime& t) { return json::object{{"secs", t.secs}, {"micros", t.micros}}; }

json::value as_object(const Manifest& m) {
  json::object o;
  o["id"] = m.id.text;
  o["shim_pid"] = m.shim_pid;
  o["shell_pid"] = m.shell_pid;
  o["pgid"] = m.pgid;
  o["tty"] = m.tty;
  o["socket"] = m.socket.string();
  o["started_at"] = start_time(m.started_at);
  o["boot_id"] = m.boot_id;
  if (m.shell_started_at) o["shell_started_at"] = start_time(*m.shell_started_at);
  if (m.cgroup) o["cgroup"] = *m.cgroup;
  return o;
}

// The array form with the two optional fields given (null when none).
json::value as_array(const Manifest& m) {
  json::array a{m.id.text, m.shim_pid, m.shell_pid, m.pgid, m.tty, m.socket.string(),
                json::array{m.started_at.secs, m.started_at.micros}, m.boot_id};
  a.push_back(m.shell_started_at ? start_time(*m.shell_started_at) : json::value(nullptr));
  a.push_back(m.cgroup ? json::value(*m.cgroup) : json::value(nullptr));
  return a;
}

void same_after(const Manifest& m, const json::value& form) {
  const std::string text = quern_protocol::json::write_compact(form);
  const auto again = Manifest::decode(text);
  require(again.has_value());
  require(*again == m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto decoded = Manifest::decode(text);
  if (!decoded) return 0;
  same_after(*decoded, as_object(*decoded));
  same_after(*decoded, as_array(*decoded));
  return 0;
}
