// The daemon's shared record: the registry, the running kill chains and the
// way of ending a session's process tree.
#pragma once

#include <expected>
#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include "bind.hpp"
#include "failure.hpp"
#include "kill_chain.hpp"
#include "pid_lock.hpp"
#include "quern_protocol/message.hpp"
#include "registry.hpp"
#include "supervisor.hpp"
#include "task.hpp"
#include "timings.hpp"

namespace quernd::daemon {

namespace asio = boost::asio;
using quern_protocol::message::PtyId;
using Registry = quernd::registry::Registry;
using supervisor::KillTree;
using supervisor::TreeRoot;
using task::Task;

// The daemon's one shared record. Kill chains run as tasks on `executor`,
// the daemon's event loop. Of `timings`, the record uses the probe limit
// (bind) and the drain limit; the registry and kill_tree take theirs when
// they are made.
class Daemon {
 public:
  Daemon(Registry registry, KillTree kill_tree, asio::any_io_executor executor, const Timings& timings)
      : registry(std::move(registry)),
        kill_tree(std::move(kill_tree)),
        executor(std::move(executor)),
        timings(timings) {}

  Registry registry;
  // Chains started and not yet found finished, in the order they started.
  std::vector<Task> kill_chains;
  KillTree kill_tree;
  asio::any_io_executor executor;
  Timings timings;

  asio::awaitable<std::expected<Bound, Failure>> bind() const {
    return daemon::bind(registry.runtime(), timings.probe);
  }

  // Starts a kill chain (kill_chain.cpp) for the session and files its
  // handle, dropping the handles of chains that have finished. Never waits;
  // the chain first runs when the caller next waits.
  static void kill(const std::shared_ptr<Daemon>& self, PtyId id, TreeRoot root, bool discard);

  // Takes every chain recorded so far and waits for them, within the drain limit.
  asio::awaitable<void> drain() { return daemon::drain(std::exchange(kill_chains, {}), timings.drain); }
};

}  // namespace quernd::daemon
