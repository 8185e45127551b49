// The shims this daemon started and has not yet reaped, and the task that
// collects them when they exit.
#pragma once

#include <sys/types.h>

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <vector>

#include "quern_session/child.hpp"

namespace quernd::reaper {

// A shared handle to one list of spawned children; copies share the list.
class Children {
 public:
  Children();

  // Takes over a spawned child: it stays listed until it is seen to have exited.
  void hold(pid_t pid) const;

  // Collects every listed child that has exited, without waiting, and drops it
  // together with any child that cannot be queried. Only listed pids are
  // waited for, so other children of this process keep their exit status.
  void reap() const;

  // Collects every listed child that has exited, without waiting. Listed
  // children are asked about one by one only when an exited child that is not
  // listed is in the way; with none exited this is one system call.
  void collect() const;

  // The pids still listed, in the order they were taken.
  std::vector<pid_t> held() const;

  // The reaper task: reaps at once, then collects on every SIGCHLD and every
  // second; the tick finds what a missed or merged signal left.
  // Returns only when SIGCHLD cannot be subscribed to.
  static boost::asio::awaitable<void> run(Children children);

 private:
  std::shared_ptr<quern_session::child::Held> list_;
};

}  // namespace quernd::reaper
