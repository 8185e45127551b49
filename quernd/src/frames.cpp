#include "frames.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "quern_protocol/control.hpp"

namespace quernd::conn {

namespace msg = quern_protocol::message;
using quern_protocol::Bytes;

EncodedFrame error(std::optional<PtyId> id, std::string text) {
  return quern_protocol::control::encode(msg::Error{std::move(id), std::move(text)});
}

namespace {

// A small view of a large receive buffer would keep all of it alive while
// it waits in a queue or channel that counts only the view.
bool pins_much(std::size_t storage, std::size_t size) { return storage > COPY_OUT_FLOOR && storage / 4 > size; }

}  // namespace

Bytes own_storage(Bytes payload) {
  if (pins_much(payload.storage(), payload.size())) return Bytes::copy_from(payload.span());
  return payload;
}

EncodedFrame own_storage(EncodedFrame frame) {
  if (!pins_much(std::max(frame.head.storage(), frame.payload.storage()), frame.size())) return frame;
  const Bytes whole = frame.to_bytes();
  return EncodedFrame{whole.slice(0, frame.head.size()), whole.slice(frame.head.size(), frame.payload.size())};
}

EncodedFrame reencode(const Frame& frame) {
  auto encoded = quern_protocol::frame::encode_frame_parts(frame.json.span(), own_storage(frame.payload));
  // The frame passed the same cap when it was decoded.
  if (!encoded)
    throw std::logic_error("a decoded frame re-encodes within the cap: " + encoded.error().what());
  return std::move(*encoded);
}

}  // namespace quernd::conn
