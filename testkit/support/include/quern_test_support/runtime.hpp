// Small helpers for tests that drive the daemon's coroutines: a private
// runtime directory and a way to run one task to its end.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <exception>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "quern_session/paths.hpp"
#include "quern_test_support/files.hpp"

namespace quern_test_support {

// A fresh runtime directory with its sessions directory, removed with all it
// holds at the end.
class TempRuntime {
 public:
  TempRuntime();
  TempRuntime(const TempRuntime&) = delete;
  TempRuntime& operator=(const TempRuntime&) = delete;

  const quern_session::paths::Runtime& runtime() const { return runtime_; }
  std::filesystem::path sessions() const { return runtime_.root / "sessions"; }

 private:
  quern_test_support::TempDir dir_;
  quern_session::paths::Runtime runtime_{dir_.path};
};

// Runs `task` on `io` until it has finished, serving everything else on `io`
// meanwhile (fake peers included), and returns its result; rethrows what the
// task threw.
template <class T>
T run(boost::asio::io_context& io, boost::asio::awaitable<T> task) {
  std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> result{};
  std::exception_ptr error;
  bool done = false;
  // The references stay valid: this function returns only once the task is done.
  boost::asio::co_spawn(
      io,
      [&]() -> boost::asio::awaitable<void> {
        if constexpr (std::is_void_v<T>) {
          co_await std::move(task);
        } else {
          result.emplace(co_await std::move(task));
        }
      },
      [&](std::exception_ptr e) {
        error = e;
        done = true;
      });
  io.restart();
  while (!done)
    if (io.run_one() == 0) throw std::logic_error("the task waits on nothing that can end");
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

}  // namespace quern_test_support
