// The length-prefixed frame: 8-byte header (totalLen, jsonLen, big-endian),
// the JSON text, then a binary payload; totalLen is at most FRAME_CAP.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "quern_protocol/bytes.hpp"

namespace quern_protocol::frame {

inline constexpr std::uint64_t FRAME_CAP = 8388608;
inline constexpr std::size_t HEADER_LEN = 8;

struct Frame {
  Bytes json;
  Bytes payload;
};

struct EncodedFrame {
  Bytes head;     // the two header words followed by the JSON text
  Bytes payload;  // shared with the encoder's caller, never copied

  std::size_t size() const { return head.size() + payload.size(); }
  // The JSON text, as a view of the head.
  Bytes json() const { return head.slice(HEADER_LEN, head.size() - HEADER_LEN); }
  // The whole frame in one buffer of exactly its size.
  Bytes to_bytes() const;
};

struct TooLarge {
  std::uint64_t total_len;
  friend bool operator==(const TooLarge&, const TooLarge&) = default;
};
struct TooSmall {
  std::uint64_t total_len;
  friend bool operator==(const TooSmall&, const TooSmall&) = default;
};
struct JsonLenExceedsBody {
  std::uint64_t json_len;
  std::uint64_t body;
  friend bool operator==(const JsonLenExceedsBody&, const JsonLenExceedsBody&) = default;
};

struct FrameError {
  std::variant<TooLarge, TooSmall, JsonLenExceedsBody> value;
  std::string what() const;
  friend bool operator==(const FrameError&, const FrameError&) = default;
};

using DecodeResult = std::expected<std::optional<Frame>, FrameError>;
using SplitResult = std::expected<std::optional<EncodedFrame>, FrameError>;

// Splits the first whole frame off the front of a receive buffer; none when the
// buffer does not hold a whole frame yet. On error nothing is consumed.
DecodeResult decode_frame(BytesMut& buf);
// The same over one immutable buffer: on success its start moves past the frame.
DecodeResult decode_frame_bytes(Bytes& buf);
// The same, but the frame comes as it was received, to be passed on: its
// head (header and JSON text) and its payload, both views of the buffer.
SplitResult split_frame(BytesMut& buf);
// Builds a frame's head from the JSON text; the payload is taken as it is.
std::expected<EncodedFrame, FrameError> encode_frame_parts(std::span<const std::uint8_t> json,
                                                           Bytes payload);

}  // namespace quern_protocol::frame
