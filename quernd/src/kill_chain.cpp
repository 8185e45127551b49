#include "kill_chain.hpp"

#include <variant>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "await.hpp"

namespace quernd::daemon {
namespace {

asio::awaitable<void> join_all(std::vector<Task> chains) {
  for (const Task& chain : chains) co_await chain.join();
}

}  // namespace

asio::awaitable<void> drain(std::vector<Task> chains) {
  using namespace asio::experimental::awaitable_operators;
  if (chains.empty()) co_return;
  asio::steady_timer limit(co_await asio::this_coro::executor, DRAIN_LIMIT);
  // Running out drops the handles not yet awaited; their tasks run on.
  auto first = co_await (join_all(std::move(chains)) || limit.async_wait(use_tuple));
  if (first.index() == 1) std::cerr << "quernd: shutdown with kill chains still in flight\n" << std::flush;
}

std::optional<std::string> outcome_line(const PtyId& id, const KillOutcome& outcome) {
  if (const auto* survivors = std::get_if<supervisor::Survivors>(&outcome)) {
    std::string list;
    for (std::int32_t pid : survivors->pids) {
      if (!list.empty()) list += ", ";
      list += std::to_string(pid);
    }
    return "quernd: close " + id.text + ": survivors [" + list + "]\n";
  }
  if (std::holds_alternative<supervisor::Unknown>(outcome)) {
    return "quernd: close " + id.text + ": outcome unknown\n";
  }
  return std::nullopt;
}

}  // namespace quernd::daemon
