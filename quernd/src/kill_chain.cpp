#include "kill_chain.hpp"

#include <cstdint>
#include <iostream>
#include <variant>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include "await.hpp"

#include "daemon.hpp"
#include "shim_hello.hpp"

namespace quernd::daemon {
namespace {

asio::awaitable<void> join_all(std::vector<Task> chains) {
  for (const Task& chain : chains) co_await chain.join();
}

}  // namespace

asio::awaitable<void> drain(std::vector<Task> chains, Duration limit) {
  using namespace asio::experimental::awaitable_operators;
  if (chains.empty()) co_return;
  asio::steady_timer timer(co_await asio::this_coro::executor, limit);
  // Running out drops the handles not yet awaited; their tasks run on.
  auto first = co_await (join_all(std::move(chains)) || timer.async_wait(use_tuple));
  if (first.index() == 1) std::cerr << "quernd: shutdown with kill chains still in flight\n" << std::flush;
}

asio::awaitable<void> kill_chain(std::shared_ptr<Daemon> daemon, PtyId id, TreeRoot root, bool discard) {
  // A shim that cannot be reached changes nothing: the tree is ended anyway.
  std::optional<wire::Connection> shim;
  if (auto opened = co_await daemon->registry.open(id, std::nullopt)) shim.emplace(std::move(*opened));

  const std::int32_t shim_pid = root.shim_pid;
  const auto shim_started_at = root.started_at;
  const KillOutcome outcome = co_await daemon->kill_tree(std::move(root));
  shim.reset();

  if (auto line = outcome_line(id, outcome)) std::cerr << *line << std::flush;
  if (discard) daemon->registry.discard(id, shim_pid, shim_started_at);
}

void Daemon::kill(const std::shared_ptr<Daemon>& self, PtyId id, TreeRoot root, bool discard) {
  Task chain = Task::spawn(self->executor, kill_chain(self, std::move(id), std::move(root), discard));
  std::erase_if(self->kill_chains, [](const Task& t) { return t.finished(); });
  self->kill_chains.push_back(std::move(chain));
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
