// Shared byte buffers: an immutable, reference-counted byte run whose copies and
// slices share storage (Bytes), and a growable receive buffer from whose front
// whole frames are split off without copying (BytesMut).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quern_protocol {

class Bytes {
 public:
  Bytes() = default;

  // Takes over the vector's storage; no byte is copied.
  static Bytes from_vector(std::vector<std::uint8_t>&& v);
  // Copies the given bytes into fresh storage of exactly their size.
  static Bytes copy_from(std::span<const std::uint8_t> s);
  static Bytes copy_from(std::string_view s);
  // One allocation of exactly n bytes, filled by `fill(std::uint8_t*)`, then frozen.
  template <class F>
  static Bytes build(std::size_t n, F&& fill) {
    if (n == 0) return Bytes();
    auto owner = std::make_shared_for_overwrite<std::uint8_t[]>(n);
    fill(owner.get());
    const std::uint8_t* data = owner.get();
    return Bytes(std::move(owner), data, n);
  }
  // Shares storage owned elsewhere; `owner` keeps `data` alive, and with it
  // `storage` bytes in all (by default just these).
  Bytes(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size, std::size_t storage = 0)
      : owner_(std::move(owner)), data_(data), size_(size), storage_(storage > size ? storage : size) {}

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const std::uint8_t> span() const { return {data_, size_}; }
  std::string_view view() const {
    return {reinterpret_cast<const char*>(data_), size_};
  }
  std::uint8_t operator[](std::size_t i) const { return data_[i]; }
  // The size of the storage this view keeps alive, at least its own.
  std::size_t storage() const { return storage_; }

  // A view of [offset, offset + len) sharing this buffer's storage.
  Bytes slice(std::size_t offset, std::size_t len) const;
  // Splits the first n bytes off: returns them and keeps the rest.
  Bytes split_to(std::size_t n);
  // Moves the start forward by n bytes.
  void advance(std::size_t n);

  // Whether both views reference the same storage (no copy was made).
  bool shares_storage_with(const Bytes& other) const { return owner_ == other.owner_; }
  long use_count() const { return owner_.use_count(); }

  friend bool operator==(const Bytes& a, const Bytes& b) { return a.view() == b.view(); }

 private:
  std::shared_ptr<const void> owner_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t storage_ = 0;
};

// A receive buffer: bytes are appended into its free space at the end and
// whole runs are split off its front as Bytes that share its storage.
class BytesMut {
 public:
  BytesMut() = default;
  explicit BytesMut(std::size_t capacity) { reserve(capacity); }

  const std::uint8_t* data() const { return chunk_ ? chunk_.get() + start_ : nullptr; }
  std::size_t size() const { return end_ - start_; }
  bool empty() const { return size() == 0; }
  std::span<const std::uint8_t> span() const { return {data(), size()}; }
  std::size_t capacity() const { return cap_ - start_; }

  // Free space at the end; after writing n bytes into it, call commit(n).
  std::span<std::uint8_t> free_space() {
    return {chunk_ ? chunk_.get() + end_ : nullptr, cap_ - end_};
  }
  void commit(std::size_t n) { end_ += n; }

  // Makes room for at least `additional` more bytes at the end. Storage still
  // shared with split-off buffers is never written to: the unsplit tail moves
  // to a new chunk instead, of at least `chunk` bytes if given, else of at
  // least the current capacity.
  void reserve(std::size_t additional, std::size_t chunk = 0);
  void append(std::span<const std::uint8_t> s);
  void append(std::string_view s);

  // Splits the first n bytes off as an immutable buffer, without copying.
  Bytes split_to(std::size_t n);
  // Drops the first n bytes.
  void advance(std::size_t n) { start_ += n; }

 private:
  std::shared_ptr<std::uint8_t[]> chunk_;
  std::size_t cap_ = 0;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

}  // namespace quern_protocol
