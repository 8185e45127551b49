// Programmable stand-ins for a session shim's socket, for tests of the
// daemon's side of the conversation. A FakeShim listens on a unix socket on
// the test's own io_context and answers as its Behaviour says.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/json/object.hpp>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quern_protocol/message.hpp"
#include "quern_test_support/files.hpp"

namespace quern_fakes {

using quern_protocol::message::Message;

struct Behaviour {
  enum class OnHello {
    Answer,        // send `answer`
    Silent,        // read the hello, never answer
    CloseAtOnce,   // close the connection as soon as it is accepted
    CloseOnHello,  // read the hello, then close
    Garbage,       // send `garbage` instead of a frame
    StopReading,   // accept, then never read or write
  };
  OnHello on_hello = OnHello::Answer;
  Message answer = quern_protocol::message::Welcome{1};
  std::string garbage = std::string("\xff\xff\xff\xff\0\0\0\0", 8);  // a header over the cap
  // The answer to `list`; none: a list is never answered.
  std::optional<Message> list_answer = quern_protocol::message::Listed{};
};

class FakeShim {
 public:
  // Binds and listens on `path` at once; connections are served once the
  // io_context runs.
  FakeShim(boost::asio::any_io_executor executor, std::filesystem::path path,
           Behaviour behaviour = {});
  // Stops listening and closes every connection; the socket file stays.
  ~FakeShim();
  FakeShim(const FakeShim&) = delete;
  FakeShim& operator=(const FakeShim&) = delete;

  const std::filesystem::path& path() const;
  // Connections accepted so far.
  std::size_t accepted() const;
  // Every message received, on all connections, in arrival order.
  std::vector<Message> received() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// A socket whose backlog is full: a connect to it cannot finish until the
// listener accepts, which it never does.
class JammedSocket {
 public:
  explicit JammedSocket(const std::filesystem::path& path);
  ~JammedSocket();
  JammedSocket(const JammedSocket&) = delete;
  JammedSocket& operator=(const JammedSocket&) = delete;

 private:
  void release();
  int listener_ = -1;
  std::vector<int> waiting_;
};

// A manifest with every required member, for a session `id` whose shim is
// `shim_pid` (its start time is looked up now; {0, 0} when none) on this boot.
boost::json::object manifest_json(const std::string& id, int shim_pid,
                                  const std::filesystem::path& socket, const std::string& boot_id);
using quern_test_support::write_file;

// The directory of the QUERN_SESSION_BIN scripts.
std::filesystem::path scripts_dir();

}  // namespace quern_fakes
