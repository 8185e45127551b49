// The ring that the outbound queue and a session's input channel keep their
// frames in.
#pragma once

#include <cstddef>
#include <vector>

#include "quern_protocol/frame.hpp"

namespace quernd::frame_ring {

using quern_protocol::frame::EncodedFrame;

// A first-in first-out run of frames over a ring that grows and never
// shrinks, so that a steady stream of frames allocates nothing.
class FrameRing {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void reserve(std::size_t n);
  void push_back(EncodedFrame frame);
  EncodedFrame pop_front();
  // Moves frames from the front onto `batch` while it holds fewer than
  // `max_frames` frames and `max_bytes` bytes; returns the bytes moved.
  std::size_t take_into(std::vector<EncodedFrame>& batch, std::size_t max_frames, std::size_t max_bytes);
  void clear();

 private:
  std::vector<EncodedFrame> slots_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace quernd::frame_ring
