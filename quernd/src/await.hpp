// How the daemon's coroutines wait on Asio: with an operation's outcome as a
// value, and on a timer that never fires by itself, which only a cancel or
// the waiting task's abort ends.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace quernd {

// Completes an awaited operation with its error code among the results,
// never by throwing.
inline constexpr auto use_tuple = boost::asio::as_tuple(boost::asio::use_awaitable);

// A timer that never expires: a wait on it ends when the timer is cancelled,
// to wake the waiter, or when the waiting task is aborted.
inline boost::asio::steady_timer never_timer(const boost::asio::any_io_executor& ex) {
  return boost::asio::steady_timer(ex, boost::asio::steady_timer::time_point::max());
}

// Returns only by being abandoned or aborted, which throws operation_aborted
// out of the wait.
inline boost::asio::awaitable<void> wait_forever() {
  auto never = never_timer(co_await boost::asio::this_coro::executor);
  co_await never.async_wait(boost::asio::use_awaitable);
}

}  // namespace quernd
