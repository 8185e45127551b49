// The one-pass message decoder and the former tree decoder (the tests'
// oracle) give the same result for every text: the same message, or the
// same failure text. Read in pieces of a size the input's length picks, the
// text gives that result too.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quern_protocol/message.hpp"
#include "tree_decoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto one_pass = quern_protocol::message::Message::deserialize(text);
  const auto tree = quern_tree::deserialize(text);
  const std::string a = one_pass ? one_pass->debug() : "error: " + one_pass.error().text;
  const std::string b = tree ? tree->debug() : "error: " + tree.error().text;
  if (a != b) std::abort();

  quern_protocol::message::MessageDecoder decoder(text);
  const std::size_t piece = 1 + size % 61;
  while (!decoder.step(piece)) {
  }
  const auto pieces = decoder.finish();
  const std::string c = pieces ? pieces->debug() : "error: " + pieces.error().text;
  if (c != a) std::abort();
  return 0;
}
