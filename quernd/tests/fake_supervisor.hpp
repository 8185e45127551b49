// A way of ending process trees for the daemon's record in tests: it ends no
// process, records each root and answers as it is told.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "daemon.hpp"
#include "supervisor.hpp"

namespace quernd_tests {

// A kill_tree that ends no process: it records each root, waits as long as
// the root's shell pid says (in milliseconds) and answers `outcome`.
struct FakeSupervisor {
  struct State {
    std::vector<quernd::supervisor::TreeRoot> roots;
    quernd::supervisor::KillOutcome outcome = quernd::supervisor::Clean{};
    std::map<std::int32_t, std::chrono::milliseconds> delays;
    std::function<void()> during;  // runs inside kill_tree
    int finished = 0;
  };
  std::shared_ptr<State> state = std::make_shared<State>();

  boost::asio::awaitable<quernd::supervisor::KillOutcome> operator()(quernd::supervisor::TreeRoot root) const {
    namespace asio = boost::asio;
    auto s = state;
    const std::int32_t key = root.shell_pid;
    s->roots.push_back(std::move(root));
    if (s->during) s->during();
    if (auto it = s->delays.find(key); it != s->delays.end()) {
      asio::steady_timer timer(co_await asio::this_coro::executor, it->second);
      co_await timer.async_wait(asio::use_awaitable);
    }
    ++s->finished;
    co_return s->outcome;
  }
};

// The state of the fake that a daemon of these tests holds.
inline FakeSupervisor::State& fake_state(const quernd::daemon::Daemon& daemon) {
  return *daemon.kill_tree.target<FakeSupervisor>()->state;
}

}  // namespace quernd_tests
