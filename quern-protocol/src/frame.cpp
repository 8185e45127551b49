#include "quern_protocol/frame.hpp"

#include <cstring>

namespace quern_protocol::frame {
namespace {

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         std::uint32_t(p[3]);
}

void write_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v >> 24);
  p[1] = std::uint8_t(v >> 16);
  p[2] = std::uint8_t(v >> 8);
  p[3] = std::uint8_t(v);
}

struct Header {
  std::uint32_t total_len;
  std::uint32_t json_len;
};

// Checks the header at the front of `data`: none while fewer than 8 bytes are
// in, or while the frame is incomplete; the checks run as soon as 8 bytes are in.
std::expected<std::optional<Header>, FrameError> check(std::span<const std::uint8_t> data) {
  if (data.size() < HEADER_LEN) return std::nullopt;
  std::uint32_t total = read_be32(data.data());
  if (total > FRAME_CAP) return std::unexpected(FrameError{TooLarge{total}});
  if (total < 4) return std::unexpected(FrameError{TooSmall{total}});
  std::uint32_t json_len = read_be32(data.data() + 4);
  std::uint32_t body = total - 4;
  if (json_len > body) return std::unexpected(FrameError{JsonLenExceedsBody{json_len, body}});
  if (data.size() < std::size_t(total) + 4) return std::nullopt;
  return Header{total, json_len};
}

template <class Buf>
DecodeResult split(Buf& buf) {
  auto header = check(buf.span());
  if (!header) return std::unexpected(header.error());
  if (!*header) return std::optional<Frame>();
  std::size_t body = (*header)->total_len - 4;
  std::size_t json_len = (*header)->json_len;
  buf.advance(HEADER_LEN);
  Bytes json = buf.split_to(json_len);
  Bytes payload = buf.split_to(body - json_len);
  return std::optional<Frame>(Frame{std::move(json), std::move(payload)});
}

}  // namespace

std::string FrameError::what() const {
  struct Visitor {
    std::string operator()(const TooLarge& e) const {
      return "frame too large: totalLen " + std::to_string(e.total_len) + " exceeds the " +
             std::to_string(FRAME_CAP) + "-byte cap";
    }
    std::string operator()(const TooSmall& e) const {
      return "frame too small: totalLen " + std::to_string(e.total_len) +
             " cannot hold a jsonLen word";
    }
    std::string operator()(const JsonLenExceedsBody& e) const {
      return "jsonLen " + std::to_string(e.json_len) + " exceeds the " + std::to_string(e.body) +
             "-byte frame body";
    }
  };
  return std::visit(Visitor{}, value);
}

DecodeResult decode_frame(BytesMut& buf) { return split(buf); }

SplitResult split_frame(BytesMut& buf) {
  auto header = check(buf.span());
  if (!header) return std::unexpected(header.error());
  if (!*header) return std::optional<EncodedFrame>();
  std::size_t body = (*header)->total_len - 4;
  std::size_t json_len = (*header)->json_len;
  Bytes head = buf.split_to(HEADER_LEN + json_len);
  Bytes payload = buf.split_to(body - json_len);
  return std::optional<EncodedFrame>(EncodedFrame{std::move(head), std::move(payload)});
}

DecodeResult decode_frame_bytes(Bytes& buf) { return split(buf); }

std::expected<EncodedFrame, FrameError> encode_frame_parts(std::span<const std::uint8_t> json,
                                                           Bytes payload) {
  std::uint64_t total = std::uint64_t(json.size()) + std::uint64_t(payload.size()) + 4;
  if (total > FRAME_CAP) return std::unexpected(FrameError{TooLarge{total}});
  Bytes head = Bytes::build(HEADER_LEN + json.size(), [&](std::uint8_t* out) {
    write_be32(out, std::uint32_t(total));
    write_be32(out + 4, std::uint32_t(json.size()));
    if (!json.empty()) std::memcpy(out + HEADER_LEN, json.data(), json.size());
  });
  return EncodedFrame{std::move(head), std::move(payload)};
}

Bytes EncodedFrame::to_bytes() const {
  return Bytes::build(size(), [&](std::uint8_t* out) {
    if (!head.empty()) std::memcpy(out, head.data(), head.size());
    if (!payload.empty()) std::memcpy(out + head.size(), payload.data(), payload.size());
  });
}

}  // namespace quern_protocol::frame
