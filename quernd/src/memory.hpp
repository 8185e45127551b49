// Giving memory back to the system once a burst of traffic is over: the
// allocator keeps what was freed for later use, which after a flood leaves
// an idle daemon far above its usual size.
#pragma once

#include <chrono>
#include <cstddef>

#include <boost/asio/awaitable.hpp>

namespace quernd::memory {

// How often the allocator's free memory is looked at.
inline constexpr auto TRIM_INTERVAL = std::chrono::seconds(5);
// Free memory the allocator may keep before it is asked to give it back.
inline constexpr std::size_t TRIM_THRESHOLD = 8 << 20;

// Blocks of at least this size get mappings of their own.
inline constexpr std::size_t LARGE_BLOCK = 1 << 20;

// Makes the allocator give every block of LARGE_BLOCK or more back to the
// system as soon as it is freed. Left to itself it raises that bound to the
// largest block freed so far, and then keeps freed frame buffers of up to
// 8 MiB in its heap. Smaller blocks freed stay in the heap up to
// TRIM_THRESHOLD, for trim_after_bursts to give back: handing the heap's top
// back at every free, as the allocator does by default once this bound is
// set, costs a system call and fresh page faults for every receive buffer a
// stream of frames goes through. Call before the first allocations of note.
void give_back_large_blocks();
// Bytes the allocator holds that nothing uses; 0 where it cannot tell.
std::size_t held_free();
// Asks the allocator to return what it can; true when it did.
bool trim();

// Every TRIM_INTERVAL, trims when more than TRIM_THRESHOLD is held free.
// Runs until the process ends.
boost::asio::awaitable<void> trim_after_bursts();

}  // namespace quernd::memory
