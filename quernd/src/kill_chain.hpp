// The kill chain that ends one session's process tree in the background,
// its start from the daemon's record, and the wait for the chains still
// running at shutdown.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "quern_protocol/message.hpp"
#include "supervisor.hpp"
#include "task.hpp"
#include "timings.hpp"

namespace quernd::daemon {

namespace asio = boost::asio;
using quern_protocol::message::PtyId;
using supervisor::KillOutcome;
using supervisor::TreeRoot;
using task::Task;

// The daemon's shared record, in daemon.hpp, which starts the chains.
class Daemon;

// Waits for the chains one after the other, at most `limit` for all of them;
// when that runs out, the rest are left running and one line says so.
asio::awaitable<void> drain(std::vector<Task> chains, Duration limit);

// The line that reports a chain's outcome; none for a clean end.
std::optional<std::string> outcome_line(const PtyId& id, const KillOutcome& outcome);

// One kill chain: opens the session without ever starting a shim and holds
// the connection while the daemon's kill_tree ends the tree, reports
// survivors or a failed last look on stderr and, with `discard`, kills the
// shim and removes the session's files whatever the outcome.
asio::awaitable<void> kill_chain(std::shared_ptr<Daemon> daemon, PtyId id, TreeRoot root, bool discard);

}  // namespace quernd::daemon
