#include "reaper.hpp"

#include <sys/wait.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>

namespace quernd::reaper {

namespace asio = boost::asio;
using asio::experimental::awaitable_operators::operator||;

Children::Children() : list_(std::make_shared<List>()) {}

void Children::hold(pid_t pid) const {
  std::lock_guard guard(list_->lock);
  list_->pids.push_back(pid);
}

void Children::reap() const {
  std::lock_guard guard(list_->lock);
  std::erase_if(list_->pids, [](pid_t pid) {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    // 0: still running. The pid itself: exited and collected. Failure: the
    // child cannot be asked about, so holding it any longer helps nobody.
    return r != 0;
  });
}

std::vector<pid_t> Children::held() const {
  std::lock_guard guard(list_->lock);
  return list_->pids;
}

asio::awaitable<void> Children::run(Children children) {
  auto executor = co_await asio::this_coro::executor;
  asio::signal_set sigchld(executor);
  boost::system::error_code ec;
  sigchld.add(SIGCHLD, ec);
  if (ec) co_return;

  constexpr auto PERIOD = std::chrono::seconds(1);
  asio::steady_timer tick(executor);
  tick.expires_at(std::chrono::steady_clock::now());
  constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);
  for (;;) {
    auto woken = co_await (sigchld.async_wait(use_tuple) || tick.async_wait(use_tuple));
    // A tick moves the interval on; a signal leaves the next tick where it was.
    if (woken.index() == 1) tick.expires_at(tick.expiry() + PERIOD);
    children.reap();
  }
}

}  // namespace quernd::reaper
