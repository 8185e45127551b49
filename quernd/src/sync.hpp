// Waiting on the daemon's one thread: the wake-ups a task waits on until
// another task hands it work, a bound on how long a wait may take, and a
// counting semaphore whose permits are taken without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace quernd::sync {

namespace asio = boost::asio;

// When a woken waiter runs. `later`: from the event loop's queue, after the
// current task's next wait. `now`: at once, before `notify_one` returns; for
// a notifier that has nothing more to hand over before its own next wait,
// so that the waiter's work needs no second turn of the event loop.
enum class Wake { later, now };

// A wake-up for one waiter. Given while nobody waits, it is kept for the
// next waiter, which then returns at once.
class WakeOne {
 public:
  explicit WakeOne(const asio::any_io_executor& ex);
  WakeOne(const WakeOne&) = delete;
  WakeOne& operator=(const WakeOne&) = delete;
  ~WakeOne();

  void notify_one(Wake when = Wake::later);
  // Returns on a wake-up, possibly a spurious one: callers look again.
  asio::awaitable<void> wait();

 private:
  struct Waiter {
    std::move_only_function<void(boost::system::error_code)> resume;
    asio::cancellation_slot slot;
    asio::any_io_executor work;  // keeps the event loop running meanwhile
  };
  struct Initiate;
  struct Cancel;
  class Waits;

  // Takes the waiter, if one waits, and detaches it from its cancellation.
  std::optional<Waiter> take(bool from_cancellation);

  asio::any_io_executor ex_;
  std::optional<Waiter> waiter_;
  Waits* waits_ = nullptr;  // the event loop's record, once a waiter has waited
  bool kept_ = false;
};

// A wake-up for every current waiter; nothing is kept for later ones. A
// waiter takes a ticket with `listen` before it looks at the state it waits
// for, so a wake-up given between its look and its wait is not missed.
class WakeAll {
 public:
  using Ticket = std::uint64_t;

  explicit WakeAll(const asio::any_io_executor& ex);

  Ticket listen() const { return generation_; }
  void notify_all();
  // Returns once a wake-up has been given since `ticket` was taken.
  asio::awaitable<void> wait(Ticket ticket);

 private:
  asio::steady_timer timer_;
  std::uint64_t generation_ = 0;
  std::size_t waiting_ = 0;
};

// Waits for `body` at most `limit`; true when it finished in time. A body
// that runs out of time is abandoned at its current wait.
asio::awaitable<bool> within(asio::awaitable<void> body, std::chrono::steady_clock::duration limit);

// A counting semaphore whose permits are taken without waiting.
class Permits {
 public:
  // A permit taken; it is given back when dropped.
  class Permit {
   public:
    Permit(Permit&& other) noexcept : free_(std::move(other.free_)) {}
    Permit& operator=(Permit&&) = delete;
    ~Permit() {
      if (free_) ++*free_;
    }

   private:
    friend class Permits;
    explicit Permit(std::shared_ptr<std::size_t> free) : free_(std::move(free)) {}
    std::shared_ptr<std::size_t> free_;
  };

  explicit Permits(std::size_t count) : free_(std::make_shared<std::size_t>(count)) {}

  // None when every permit is held.
  std::optional<Permit> try_acquire() const;
  std::size_t available() const { return *free_; }

 private:
  std::shared_ptr<std::size_t> free_;
};

}  // namespace quernd::sync
