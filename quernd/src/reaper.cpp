#include "reaper.hpp"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <chrono>
#include <csignal>

#include "await.hpp"
#include "signals.hpp"

namespace quernd::reaper {

namespace asio = boost::asio;
using asio::experimental::awaitable_operators::operator||;

Children::Children() : list_(std::make_shared<quern_session::child::Held>()) {}

void Children::hold(pid_t pid) const { list_->hold(pid); }

void Children::reap() const { list_->reap(); }

void Children::collect() const { list_->collect(); }

std::vector<pid_t> Children::held() const { return list_->pids(); }

asio::awaitable<void> Children::run(Children children) {
  auto executor = co_await asio::this_coro::executor;
  constexpr int CHILD_ENDED[] = {SIGCHLD};
  auto subscribed = signals::catch_signals(executor, CHILD_ENDED);
  if (!subscribed) co_return;
  asio::signal_set& sigchld = **subscribed;

  constexpr auto PERIOD = std::chrono::seconds(1);
  asio::steady_timer tick(executor);
  tick.expires_at(std::chrono::steady_clock::now() + PERIOD);
  children.reap();
  for (;;) {
    auto woken = co_await (sigchld.async_wait(use_tuple) || tick.async_wait(use_tuple));
    // A tick moves the interval on; a signal leaves the next tick where it was.
    if (woken.index() == 1) tick.expires_at(tick.expiry() + PERIOD);
    // With a thousand shims, a pass that asked each one every second would
    // cost a thousand calls a second while nothing happens.
    children.collect();
  }
}

}  // namespace quernd::reaper
