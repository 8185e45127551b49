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

// Bytes the allocator holds that nothing uses; 0 where it cannot tell.
std::size_t held_free();
// Asks the allocator to return what it can; true when it did.
bool trim();

// Every TRIM_INTERVAL, trims when more than TRIM_THRESHOLD is held free.
// Runs until the process ends.
boost::asio::awaitable<void> trim_after_bursts();

}  // namespace quernd::memory
