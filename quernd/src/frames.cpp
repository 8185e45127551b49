#include "frames.hpp"

#include <stdexcept>
#include <utility>

#include "quern_session/wire.hpp"

namespace quernd::conn {

namespace msg = quern_protocol::message;
using quern_protocol::Bytes;

EncodedFrame error(std::optional<PtyId> id, std::string text) {
  return quern_session::wire::control(msg::Error{std::move(id), std::move(text)});
}

Bytes own_storage(Bytes payload) {
  // A small view of a large receive buffer would keep all of it alive while
  // it waits in a queue or channel that counts only the view.
  if (payload.storage() > COPY_OUT_FLOOR && payload.storage() / 4 > payload.size())
    return Bytes::copy_from(payload.span());
  return payload;
}

EncodedFrame reencode(const Frame& frame) {
  auto encoded = quern_protocol::frame::encode_frame_parts(frame.json.span(), own_storage(frame.payload));
  // The frame passed the same cap when it was decoded.
  if (!encoded)
    throw std::logic_error("a decoded frame re-encodes within the cap: " + encoded.error().what());
  return std::move(*encoded);
}

}  // namespace quernd::conn
