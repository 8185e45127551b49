#include "ws_close.hpp"

#include <algorithm>
#include <string_view>

#include <boost/beast/websocket/detail/utf8_checker.hpp>

namespace quernd::data_plane {

namespace {

constexpr std::uint8_t CONTINUATION = 0x0;
constexpr std::uint8_t TEXT = 0x1;
constexpr std::uint8_t BINARY = 0x2;
constexpr std::uint8_t CLOSE = 0x8;
constexpr std::uint8_t PING = 0x9;
constexpr std::uint8_t PONG = 0xa;
constexpr std::uint16_t PROTOCOL_ERROR = 1002;
constexpr std::uint64_t CONTROL_LIMIT = 125;

// Whether a peer may send this close code.
bool valid_close_code(std::uint16_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

}  // namespace

std::size_t FrameCursor::header_size() const {
  if (taken_ < 2) return 2;
  const auto length7 = header_[1] & 0x7f;
  return 2 + (length7 == 126 ? 2 : length7 == 127 ? 8 : 0) + (masked() ? 4 : 0);
}

std::uint8_t FrameCursor::unmask(std::uint8_t byte, std::uint64_t index) const {
  if (!masked()) return byte;
  return byte ^ header_[mask_at_ + index % 4];
}

std::size_t FrameCursor::take(std::span<const std::uint8_t> bytes) {
  ended_ = false;
  std::size_t n = 0;
  if (!payload_) {
    while (n < bytes.size() && taken_ < header_size()) header_[taken_++] = bytes[n++];
    if (taken_ < header_size()) return n;
    const auto length7 = header_[1] & 0x7f;
    const std::size_t extended = length7 == 126 ? 2 : length7 == 127 ? 8 : 0;
    length_ = extended == 0 ? length7 : 0;
    for (std::size_t i = 0; i < extended; ++i) length_ = (length_ << 8) | header_[2 + i];
    mask_at_ = masked() ? taken_ - 4 : 0;
    payload_ = true;
    at_ = 0;
  } else {
    n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), left()));
    at_ += n;
  }
  if (at_ == length_) {
    // The header stays readable until the next frame's overwrites it.
    ended_ = true;
    payload_ = false;
    taken_ = 0;
  }
  return n;
}

void CloseAnswer::received(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty() && !refused_ && !client_close_) {
    const bool header = in_.in_header();
    const std::uint64_t from = in_.at();
    const std::size_t n = in_.take(bytes);
    if (header && (!in_.in_header() || in_.ended())) {
      // A frame that the library fails the connection for: it reads
      // nothing after it, so no later close is taken for the client's.
      const auto op = in_.opcode();
      const bool control = op >= CLOSE;
      refused_ = !in_.masked() || in_.reserved_bits() ||
                 (op != CONTINUATION && op != TEXT && op != BINARY && op != CLOSE && op != PING && op != PONG) ||
                 (control && (!in_.fin() || in_.length() > CONTROL_LIMIT)) ||
                 (op == CONTINUATION && !fragmented_) || ((op == TEXT || op == BINARY) && fragmented_);
      if (!control) fragmented_ = !in_.fin();
      payload_.clear();
    } else if (!header && in_.opcode() == CLOSE) {
      for (std::size_t i = 0; i < n; ++i) payload_ += static_cast<char>(in_.unmask(bytes[i], from + i));
    }
    if (in_.ended() && !refused_ && in_.opcode() == CLOSE) client_close_ = payload_;
    bytes = bytes.subspan(n);
  }
}

void CloseAnswer::sent(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) bytes = bytes.subspan(out_.take(bytes));
}

std::uint16_t CloseAnswer::answer(std::uint16_t code) const {
  if (!client_close_ || client_close_->size() < 2) return code;
  const std::string_view close = *client_close_;
  const auto sent = static_cast<std::uint16_t>((static_cast<std::uint8_t>(close[0]) << 8) |
                                               static_cast<std::uint8_t>(close[1]));
  const std::string_view reason = close.substr(2);
  // The library's echo of a code that may not be sent.
  if (code == sent && !valid_close_code(sent)) return PROTOCOL_ERROR;
  // The library's refusal of a valid code that it does not know; its other
  // reason to refuse a close, a reason that is not UTF-8, is judged with
  // its own test.
  if (code == PROTOCOL_ERROR && sent != PROTOCOL_ERROR && valid_close_code(sent) &&
      boost::beast::websocket::detail::check_utf8(reason.data(), reason.size()))
    return sent;
  return code;
}

}  // namespace quernd::data_plane
