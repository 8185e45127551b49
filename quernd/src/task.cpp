#include "task.hpp"

#include "await.hpp"

#include <utility>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

namespace quernd::task {

void throw_if_aborted(const asio::cancellation_state& state) {
  if (state.cancelled() != asio::cancellation_type::none)
    throw boost::system::system_error(asio::error::operation_aborted);
}

bool is_abort(const std::exception_ptr& e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error& err) {
    return err.code() == asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

struct Task::State {
  explicit State(const asio::any_io_executor& ex) : done(never_timer(ex)) {}
  asio::cancellation_signal abort;
  // Never expires: cancelled when the task ends, which wakes every join.
  asio::steady_timer done;
  bool finished = false;
};

Task Task::spawn(const asio::any_io_executor& ex, asio::awaitable<void> body) {
  auto state = std::make_shared<State>(ex);
  asio::co_spawn(ex, std::move(body),
                 asio::bind_cancellation_slot(state->abort.slot(), [state](std::exception_ptr e) {
                   state->finished = true;
                   state->done.cancel();
                   if (e && !is_abort(e)) std::rethrow_exception(e);
                 }));
  return Task(std::move(state));
}

void Task::spawn_detached(const asio::any_io_executor& ex, asio::awaitable<void> body) {
  [[maybe_unused]] Task dropped = spawn(ex, std::move(body));
}

void Task::abort() {
  if (state_ && !state_->finished) state_->abort.emit(asio::cancellation_type::terminal);
}

bool Task::finished() const { return !state_ || state_->finished; }

asio::awaitable<void> Task::join() const {
  // The state is kept alive by this frame, whatever happens to the handle.
  auto state = state_;
  while (state && !state->finished) co_await state->done.async_wait(use_tuple);
}

}  // namespace quernd::task
