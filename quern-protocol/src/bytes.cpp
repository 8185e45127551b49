#include "quern_protocol/bytes.hpp"

#include <cstring>
#include <stdexcept>

namespace quern_protocol {

Bytes Bytes::from_vector(std::vector<std::uint8_t>&& v) {
  auto owner = std::make_shared<std::vector<std::uint8_t>>(std::move(v));
  const std::uint8_t* data = owner->data();
  std::size_t size = owner->size();
  std::size_t storage = owner->capacity();
  return Bytes(std::move(owner), data, size, storage);
}

Bytes Bytes::copy_from(std::span<const std::uint8_t> s) {
  return build(s.size(), [&](std::uint8_t* out) { std::memcpy(out, s.data(), s.size()); });
}

Bytes Bytes::copy_from(std::string_view s) {
  return copy_from(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

Bytes Bytes::slice(std::size_t offset, std::size_t len) const {
  if (offset > size_ || len > size_ - offset) throw std::out_of_range("Bytes::slice");
  return Bytes(owner_, data_ + offset, len, storage_);
}

Bytes Bytes::split_to(std::size_t n) {
  Bytes head = slice(0, n);
  advance(n);
  return head;
}

void Bytes::advance(std::size_t n) {
  if (n > size_) throw std::out_of_range("Bytes::advance");
  data_ += n;
  size_ -= n;
}

void BytesMut::reserve(std::size_t additional, std::size_t chunk) {
  if (cap_ - end_ >= additional) return;
  std::size_t len = size();
  // Sole owner: slide the unsplit bytes to the front if that makes room.
  if (chunk_ && chunk_.use_count() == 1 && cap_ - len >= additional && start_ > 0) {
    std::memmove(chunk_.get(), chunk_.get() + start_, len);
    start_ = 0;
    end_ = len;
    return;
  }
  std::size_t want = len + additional;
  const std::size_t floor = chunk > 0 ? chunk : cap_;
  std::size_t new_cap = floor > want ? floor : want;
  auto fresh = std::make_shared_for_overwrite<std::uint8_t[]>(new_cap);
  if (len) std::memcpy(fresh.get(), chunk_.get() + start_, len);
  chunk_ = std::move(fresh);
  cap_ = new_cap;
  start_ = 0;
  end_ = len;
}

void BytesMut::append(std::span<const std::uint8_t> s) {
  reserve(s.size());
  if (!s.empty()) std::memcpy(chunk_.get() + end_, s.data(), s.size());
  end_ += s.size();
}

void BytesMut::append(std::string_view s) {
  append(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

Bytes BytesMut::split_to(std::size_t n) {
  if (n > size()) throw std::out_of_range("BytesMut::split_to");
  if (n == 0) return Bytes();
  Bytes out(std::shared_ptr<const void>(chunk_), chunk_.get() + start_, n, cap_);
  start_ += n;
  return out;
}

}  // namespace quern_protocol
