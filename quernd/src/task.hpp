// Tasks on the daemon's event loop: a spawned coroutine with a handle that
// can abort it or wait for its end, or one detached from the start. Aborting is Asio's terminal
// cancellation: the task's current wait ends with operation_aborted, and the
// task's own code checks `throw_if_aborted` after waits whose errors it
// handles itself, so that an aborted task runs none of its code afterwards.
#pragma once

#include <exception>
#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_state.hpp>

namespace quernd::task {

namespace asio = boost::asio;

// Ends an aborted task at the wait that noticed the abort: throws
// operation_aborted, which the task's completion takes as the normal end of
// an abort. Call it right after a wait whose result is a value.
void throw_if_aborted(const asio::cancellation_state& state);

// Whether an exception is the end of an aborted task rather than a fault.
bool is_abort(const std::exception_ptr& e);

// The handle of a spawned task. Copies share the task; dropping every handle
// lets the task run on.
class Task {
 public:
  Task() = default;

  // Starts `body` on `ex`; it first runs when the caller next waits. A task
  // that fails with anything but its abort rethrows out of the event loop,
  // so that a fault cannot pass unseen.
  [[nodiscard]] static Task spawn(const asio::any_io_executor& ex, asio::awaitable<void> body);
  // The same for a task that nobody aborts or waits for: it runs until it
  // ends by itself, or for the event loop's life.
  static void spawn_detached(const asio::any_io_executor& ex, asio::awaitable<void> body);

  // Ends the task at its current wait. Nothing happens once it has finished.
  void abort();
  bool finished() const;
  // Returns once the task has finished; at once when it has, or when the
  // handle is empty. Abandoning the wait leaves the task running.
  asio::awaitable<void> join() const;

 private:
  struct State;
  explicit Task(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

}  // namespace quernd::task
