// Checks on the client side of a connection: failed client steps as
// exceptions, and the output of one session read in order.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/message.hpp"
#include "quern_testkit/client.hpp"

namespace quern_test_support {

// Turns a failed client step into an exception naming it.
template <class T>
T must(std::expected<T, quern_testkit::ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
  return std::move(*r);
}
void must(std::expected<void, quern_testkit::ClientError> r, const std::string& what);

// The output of one session on one connection. Each frame must continue
// exactly where the one before it ended, in the same epoch, and come from
// `id` when one is given.
struct OutputLog {
  explicit OutputLog(std::optional<quern_protocol::message::PtyId> session = std::nullopt) : id(std::move(session)) {}

  std::optional<quern_protocol::message::PtyId> id;
  std::optional<std::uint64_t> epoch;
  std::uint64_t next = 0;
  std::string text;
  bool rejoin = true;  // the next frame may start anywhere (first frame, or after a detach)

  void add(const quern_protocol::message::Output& o, const quern_protocol::Bytes& payload);
};

// Reads output until `needle` appears after what `log` held so far; any
// other message is a failure.
void read_until(quern_testkit::Client& c, OutputLog& log, std::string_view needle,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));
// The next message that is not output; output before it goes to `log`.
quern_protocol::message::Message next_non_output(quern_testkit::Client& c, OutputLog& log,
                                                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace quern_test_support
