#include "memory.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "await.hpp"
#include "task.hpp"

namespace quernd::memory {

namespace asio = boost::asio;

void give_back_large_blocks() {
#if defined(__GLIBC__)
  // Setting the bound also stops the allocator from moving it, and from
  // moving the bound of trimming, which would stay at 128 KiB.
  ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(LARGE_BLOCK));
  ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(TRIM_THRESHOLD));
#endif
}

std::size_t held_free() {
#if defined(__GLIBC__)
  const struct mallinfo2 info = ::mallinfo2();
  return info.fordblks;
#else
  return 0;
#endif
}

bool trim() {
#if defined(__GLIBC__)
  return ::malloc_trim(0) != 0;
#else
  return false;
#endif
}

asio::awaitable<void> trim_after_bursts() {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (;;) {
    timer.expires_after(TRIM_INTERVAL);
    co_await timer.async_wait(use_tuple);
    task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
    if (held_free() > TRIM_THRESHOLD) trim();
  }
}

}  // namespace quernd::memory
