// The frame of a browser's binary message: there is one exactly when the
// message is one whole frame with a sound header and nothing after it, and
// then its JSON text and payload are views of the message at their places.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "quern_protocol/frame.hpp"
#include "ws_transport.hpp"

namespace {

using quern_protocol::Bytes;
using quern_protocol::frame::FRAME_CAP;
using quern_protocol::frame::HEADER_LEN;

void require(bool ok) {
  if (!ok) std::abort();
}

std::uint64_t be32(const std::uint8_t* p) {
  return std::uint64_t(p[0]) << 24 | std::uint64_t(p[1]) << 16 | std::uint64_t(p[2]) << 8 | std::uint64_t(p[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes message = Bytes::copy_from(std::span<const std::uint8_t>(data, size));
  const auto frame = quernd::data_plane::one_frame(message);

  bool whole = false;
  std::uint64_t json_len = 0;
  if (size >= HEADER_LEN) {
    const std::uint64_t total = be32(data);
    json_len = be32(data + 4);
    whole = total <= FRAME_CAP && total >= 4 && json_len <= total - 4 && size == total + 4;
  }
  require(frame.has_value() == whole);
  if (!frame) return 0;

  require(frame->json.size() == json_len);
  require(frame->payload.size() == size - HEADER_LEN - json_len);
  require(frame->json.data() == message.data() + HEADER_LEN);
  require(frame->payload.empty() || frame->payload.data() == message.data() + HEADER_LEN + json_len);
  require(frame->json.empty() || frame->json.shares_storage_with(message));
  return 0;
}
