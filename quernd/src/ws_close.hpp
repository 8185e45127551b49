// The code that answers a browser's close frame. The WebSocket library
// answers a close by itself, but its list of valid close codes is not RFC
// 6455's: it echoes 5000 and above, and refuses 1014 as a protocol error
// (1002). `CloseAnswer` follows the frames of both directions of one
// connection and gives the library's answer the code that RFC 6455 asks
// for as it goes out: the echo of a valid code, and 1002 for any other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quernd::data_plane {

// Where one direction of a WebSocket connection stands in its frames.
class FrameCursor {
 public:
  bool in_header() const { return !payload_; }
  // Of the current frame once its header is complete, and of the frame
  // that has just ended.
  std::uint8_t opcode() const { return header_[0] & 0x0f; }
  bool fin() const { return (header_[0] & 0x80) != 0; }
  bool reserved_bits() const { return (header_[0] & 0x70) != 0; }
  bool masked() const { return (header_[1] & 0x80) != 0; }
  std::uint64_t length() const { return length_; }
  // The index in the payload of the next byte, and how many are left.
  std::uint64_t at() const { return at_; }
  std::uint64_t left() const { return length_ - at_; }
  // Whether the next byte is one of the two bytes of a close frame's code.
  bool at_close_code() const { return payload_ && opcode() == 0x8 && at_ < 2 && at_ < length_; }
  // A payload byte as sent, unmasked.
  std::uint8_t unmask(std::uint8_t byte, std::uint64_t index) const;

  // Takes the next bytes, up to the end of the header or of the frame;
  // returns how many. After the last byte of a frame the cursor stands at
  // the next frame's header, and `ended` says so.
  std::size_t take(std::span<const std::uint8_t> bytes);
  bool ended() const { return ended_; }

 private:
  std::size_t header_size() const;

  std::array<std::uint8_t, 14> header_{};
  std::size_t taken_ = 0;
  // Where the masking key starts in the header.
  std::size_t mask_at_ = 0;
  bool payload_ = false;
  bool ended_ = false;
  std::uint64_t length_ = 0;
  std::uint64_t at_ = 0;
};

class CloseAnswer {
 public:
  // The client's bytes, in order, as they arrive.
  void received(std::span<const std::uint8_t> bytes);

  // The bytes to the client, in order, as they go out. `next` is how things
  // stand before the next write, `sent` moves past what was written.
  const FrameCursor& next() const { return out_; }
  void sent(std::span<const std::uint8_t> bytes);

  // The code that goes out instead of `code`, the library's, in a close
  // frame: itself, unless it answers the client's close wrongly.
  std::uint16_t answer(std::uint16_t code) const;

 private:
  FrameCursor in_;
  FrameCursor out_;
  // The client's close frame, once it has come whole and after nothing the
  // library refuses.
  std::optional<std::string> client_close_;
  // The payload of a close frame from the client, as far as it has come.
  std::string payload_;
  // Whether a message is in pieces, continuation frames to come.
  bool fragmented_ = false;
  bool refused_ = false;
};

}  // namespace quernd::data_plane
