// The frame decoders: a receive buffer fed the input in random chunks and the
// single-buffer decoder over the whole input find the same frames and the
// same error, frames split off earlier stay intact while the buffer grows,
// and re-encoding each frame gives back exactly its bytes.
//
// Input: one byte that seeds the chunking, then the byte stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"

namespace {

using namespace quern_protocol;
using namespace quern_protocol::frame;

void require(bool ok) {
  if (!ok) std::abort();
}

std::uint32_t be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}

// A small deterministic generator for chunk sizes and feeding styles.
struct Chunker {
  std::uint32_t state;
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

struct Run {
  std::vector<Frame> frames;
  std::optional<FrameError> error;
  // Stream bytes fed before the chunk after which the error was found.
  std::size_t fed_before_error = 0;
};

Run decode_whole(std::span<const std::uint8_t> stream, std::size_t& left) {
  Run run;
  Bytes buf = Bytes::copy_from(stream);
  for (;;) {
    auto decoded = decode_frame_bytes(buf);
    if (!decoded) {
      run.error = decoded.error();
      break;
    }
    if (!*decoded) break;
    run.frames.push_back(std::move(**decoded));
  }
  left = buf.size();
  return run;
}

Run decode_chunked(std::span<const std::uint8_t> stream, std::uint8_t seed, BytesMut& buf) {
  Run run;
  Chunker chunker{0x9e3779b9u ^ (std::uint32_t(seed) * 0x01000193u)};
  std::size_t fed = 0;
  while (fed < stream.size() && !run.error) {
    const std::uint32_t r = chunker.next();
    // Mostly small chunks, now and then a large one.
    std::size_t n = (r & 3) == 0 ? (r >> 8) % 4096 + 1 : (r >> 8) % 16 + 1;
    n = std::min(n, stream.size() - fed);
    const auto chunk = stream.subspan(fed, n);
    if (r & 4) {
      buf.append(chunk);
    } else {
      // As a socket reader does: make room, read into it, commit.
      buf.reserve(n);
      auto space = buf.free_space();
      require(space.size() >= n);
      std::memcpy(space.data(), chunk.data(), n);
      buf.commit(n);
    }
    fed += n;
    for (;;) {
      auto decoded = decode_frame(buf);
      if (!decoded) {
        run.error = decoded.error();
        run.fed_before_error = fed - n;
        break;
      }
      if (!*decoded) break;
      run.frames.push_back(std::move(**decoded));
    }
  }
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t seed = data[0];
  const std::span<const std::uint8_t> stream(data + 1, size - 1);

  std::size_t left = 0;
  const Run whole = decode_whole(stream, left);
  BytesMut buf;
  const Run chunked = decode_chunked(stream, seed, buf);

  require(whole.frames.size() == chunked.frames.size());
  require(whole.error == chunked.error);

  // Each frame is the stream's bytes at its place, in both decoders, and
  // re-encodes to exactly those bytes.
  std::size_t offset = 0;
  for (std::size_t i = 0; i < whole.frames.size(); ++i) {
    const Frame& a = whole.frames[i];
    const Frame& b = chunked.frames[i];
    require(a.json == b.json && a.payload == b.payload);
    const std::size_t length = HEADER_LEN + a.json.size() + a.payload.size();
    require(offset + length <= stream.size());
    const auto original = stream.subspan(offset, length);
    require(std::ranges::equal(original.subspan(HEADER_LEN, b.json.size()), b.json.span()));
    require(std::ranges::equal(original.subspan(HEADER_LEN + b.json.size()), b.payload.span()));

    auto encoded = encode_frame_parts(b.json.span(), b.payload);
    require(encoded.has_value());
    require(encoded->payload.shares_storage_with(b.payload) || b.payload.empty());
    require(encoded->size() == length);
    const Bytes flat = encoded->to_bytes();
    require(std::ranges::equal(flat.span(), original));
    offset += length;
  }

  // What neither decoder took is the same tail of the stream; after an
  // error, the receive buffer holds the start of what the other has left.
  require(left == stream.size() - offset);
  require(buf.size() <= left);
  if (!whole.error) require(buf.size() == left);
  require(std::ranges::equal(buf.span(), stream.subspan(offset, buf.size())));
  // The receive buffer's error is found as soon as the header's 8 bytes are in.
  if (chunked.error) require(buf.size() >= HEADER_LEN && chunked.fed_before_error < offset + HEADER_LEN);
  // The error is the one the header at the front of the rest names, in the
  // order cap, lower bound, jsonLen; without one, what is left is less than
  // the whole frame its header names.
  if (left >= HEADER_LEN) {
    const std::uint64_t total = be32(stream.data() + offset);
    const std::uint64_t json_len = be32(stream.data() + offset + 4);
    std::optional<FrameError> expected;
    if (total > FRAME_CAP) expected = FrameError{TooLarge{total}};
    else if (total < 4) expected = FrameError{TooSmall{total}};
    else if (json_len > total - 4) expected = FrameError{JsonLenExceedsBody{json_len, total - 4}};
    require(whole.error == expected);
    if (!expected) require(left < total + 4);
  } else {
    require(!whole.error);
  }
  return 0;
}
