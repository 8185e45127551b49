// The message decoder: whatever it accepts, encoded (the JSON value, then the
// compact writer) and decoded again, is the same message, and encoding that
// gives the same text byte for byte. Whatever it refuses, it refuses with a
// text. No input may make it throw.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include <boost/json/parse.hpp>

#include "quern_protocol/json_writer.hpp"
#include "quern_protocol/message.hpp"

namespace {

using quern_protocol::message::Message;

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto decoded = Message::deserialize(std::span<const std::uint8_t>(data, size));
  if (!decoded) {
    require(!decoded.error().what().empty());
    return 0;
  }
  (void)decoded->debug();

  const std::string text = quern_protocol::json::write_compact(decoded->serialize());
  const auto again = Message::deserialize(std::string_view(text));
  require(again.has_value());
  require(*again == *decoded);
  require(quern_protocol::json::write_compact(again->serialize()) == text);

  // The compact text is JSON that writes back as itself.
  boost::system::error_code ec;
  const auto parsed = boost::json::parse(text, ec);
  require(!ec);
  require(quern_protocol::json::write_compact(parsed) == text);
  return 0;
}
