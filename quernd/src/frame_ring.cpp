#include "frame_ring.hpp"

#include <cassert>
#include <utility>

namespace quernd::frame_ring {

void FrameRing::reserve(std::size_t n) {
  if (n <= slots_.size()) return;
  std::size_t cap = slots_.empty() ? 16 : slots_.size();
  while (cap < n) cap *= 2;
  std::vector<EncodedFrame> grown(cap);
  for (std::size_t i = 0; i < size_; ++i)
    grown[i] = std::move(slots_[(head_ + i) & (slots_.size() - 1)]);
  slots_ = std::move(grown);
  head_ = 0;
}

std::size_t FrameRing::take_into(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes) {
  std::size_t held = 0;
  for (const auto& f : batch) held += f.size();
  std::size_t moved = 0;
  while (!empty() && batch.size() < max_frames && held + moved < max_bytes) {
    batch.push_back(pop_front());
    moved += batch.back().size();
  }
  return moved;
}

void FrameRing::push_back(EncodedFrame frame) {
  if (size_ == slots_.size()) reserve(size_ + 1);
  slots_[(head_ + size_) & (slots_.size() - 1)] = std::move(frame);
  ++size_;
}

EncodedFrame FrameRing::pop_front() {
  assert(size_ > 0);
  EncodedFrame frame = std::exchange(slots_[head_], EncodedFrame{});
  head_ = (head_ + 1) & (slots_.size() - 1);
  --size_;
  return frame;
}

void FrameRing::clear() {
  while (size_ > 0) pop_front();
  head_ = 0;
}

}  // namespace quernd::frame_ring
