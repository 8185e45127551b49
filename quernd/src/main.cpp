#include "main.hpp"

#include <signal.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <string_view>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include "await.hpp"
#include "conn.hpp"
#include "daemon.hpp"
#include "data_plane.hpp"
#include "memory.hpp"
#include "quern_protocol/utf8.hpp"
#include "quern_session/fd.hpp"
#include "quern_session/paths.hpp"
#include "quern_session/text.hpp"
#include "reaper.hpp"
#include "registry.hpp"
#include "signals.hpp"
#include "supervisor.hpp"
#include "task.hpp"
#include "transport.hpp"

namespace quernd {

namespace asio = boost::asio;
using daemon::Failure;
using quern_session::OsError;
using daemon::Daemon;

namespace {

constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);
// The signals of the main loop, caught from its start to the process's end.
constexpr int CAUGHT[] = {SIGTERM, SIGINT, SIGHUP};

using Listener = asio::local::stream_protocol::acceptor;

// The limit of `timings` that --test-only-timing calls `name`, after the
// record's own fields; none for a name it does not know.
Duration* timing_named(Timings& t, std::string_view name) {
  const std::pair<std::string_view, Duration*> named[] = {
      {"probe", &t.probe},
      {"reply", &t.reply},
      {"report", &t.report},
      {"kill.hangup_pause", &t.kill.hangup_pause},
      {"kill.round_waits.0", &t.kill.round_waits[0]},
      {"kill.round_waits.1", &t.kill.round_waits[1]},
      {"kill.round_waits.2", &t.kill.round_waits[2]},
      {"kill.round_waits.3", &t.kill.round_waits[3]},
      {"kill.settle", &t.kill.settle},
      {"drain", &t.drain},
      {"ws.idle", &t.ws.idle},
      {"ws.ping_period", &t.ws.ping_period},
      {"ws.overflow_close", &t.ws.overflow_close},
      {"ws.finish_close", &t.ws.finish_close},
      {"upgrade", &t.upgrade},
  };
  for (const auto& [n, field] : named) {
    if (n == name) return field;
  }
  return nullptr;
}

// Shortens the limit that `setting` ("NAME=MILLISECONDS") names. The new
// value must lie from 1 ms up to the product's: a test may only shorten.
std::expected<void, Failure> shorten(Timings& timings, std::string_view setting) {
  const auto eq = setting.find('=');
  const std::string_view name = setting.substr(0, eq);
  Timings product = Timings::product();
  Duration* field = eq == std::string_view::npos ? nullptr : timing_named(timings, name);
  if (field == nullptr) {
    return std::unexpected(Failure{"--test-only-timing " + std::string(setting) + " names no time limit", {}});
  }
  const Duration most = *timing_named(product, name);
  const std::string_view digits = setting.substr(eq + 1);
  std::uint64_t ms = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || ms == 0 ||
      ms > static_cast<std::uint64_t>(most.count())) {
    return std::unexpected(Failure{"--test-only-timing " + std::string(setting) + ": " + std::string(name) +
                                       " takes 1 to " + std::to_string(most.count()) + " ms",
                                   {}});
  }
  *field = Duration(ms);
  return {};
}

// Waits out the pause after an accept error; the error is printed first.
asio::awaitable<void> accept_failed(std::string_view what, const boost::system::error_code& ec) {
  std::cerr << "quernd: " << what << ": " << OsError::from_error_code(ec).what() << std::endl;
  asio::steady_timer pause(co_await asio::this_coro::executor, ACCEPT_PAUSE);
  co_await pause.async_wait(asio::use_awaitable);
}

// Serves every connection of the daemon socket, each in a task of its own.
asio::awaitable<void> accept_loop(std::shared_ptr<Daemon> daemon, std::shared_ptr<Listener> listener) {
  auto ex = co_await asio::this_coro::executor;
  for (;;) {
    auto [ec, socket] = co_await listener->async_accept(use_tuple);
    task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
    if (ec) {
      co_await accept_failed("accept", ec);
      continue;
    }
    // Shims and ps runs must not inherit a client's socket.
    quern_session::set_close_on_exec(socket.native_handle());
    task::Task::spawn_detached(ex, conn::serve(daemon, transport::UnixStream(std::move(socket))));
  }
}

// Serves the data plane's connections, each in a task of its own; without a
// data plane, waits for ever.
asio::awaitable<void> accept_data_loop(std::shared_ptr<Daemon> daemon, std::shared_ptr<data_plane::DataPlane> plane) {
  auto ex = co_await asio::this_coro::executor;
  for (;;) {
    auto accepted = co_await accept_data(plane);
    task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
    if (!accepted) {
      co_await accept_failed("data plane accept", accepted.error());
      continue;
    }
    task::Task::spawn_detached(ex, data_plane::data_plane_connection(daemon, plane, std::move(*accepted)));
  }
}

// Lets go of the signal set without handing its signals back to their
// default actions: from here to the end of the process they are caught and
// do nothing, so that none can end it before its status is given.
void release_keeping_caught(asio::signal_set& signals) {
  sigset_t held;
  sigset_t before;
  ::sigemptyset(&held);
  for (int number : CAUGHT) ::sigaddset(&held, number);
  // The set restores the default actions as it lets go: blocked meanwhile,
  // a signal waits for the handler below.
  ::pthread_sigmask(SIG_BLOCK, &held, &before);
  boost::system::error_code ignored;
  signals.clear(ignored);
  struct sigaction action {};
  action.sa_handler = [](int) {};
  ::sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : CAUGHT) ::sigaction(number, &action, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// The event loop with its I/O and timer driver. Asio opens the driver's
// descriptors with the first timer or socket and throws when it cannot, so
// it is made here, where that is an error of building the loop.
std::expected<std::unique_ptr<asio::io_context>, OsError> event_loop() {
  try {
    auto io = std::make_unique<asio::io_context>(1);
    asio::steady_timer driver(*io);
    return io;
  } catch (const boost::system::system_error& e) {
    return std::unexpected(OsError::from_error_code(e.code()));
  }
}

// What an exception that ended `run` stands for. Every step of start-up
// returns its errors as values; this only keeps a fault that slips through
// from aborting the process.
Failure failure_of(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error& error) {
    return Failure::os(OsError::from_error_code(error.code()));
  } catch (const std::exception& error) {
    return Failure{error.what(), {}};
  } catch (...) {
    return Failure{"start-up failed with an unknown exception", {}};
  }
}

}  // namespace

std::expected<Args, Failure> parse_args(const std::vector<std::string>& args) {
  std::vector<std::string> origins;
  bool no_data_plane = false;
  Timings timings = Timings::product();
  // Every argument, a flag's value too, must be text.
  auto not_text = [](const std::string& arg) {
    return std::unexpected(Failure{"argument " + quern_session::text::utf8_lossy(arg) + " is not valid UTF-8", {}});
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!quern_protocol::utf8::is_valid(arg)) return not_text(arg);
    if (arg == "--dev") {
      origins.emplace_back(DEV_ORIGIN);
    } else if (arg == "--origin") {
      if (i + 1 == args.size()) return std::unexpected(Failure{"--origin needs a value", {}});
      if (!quern_protocol::utf8::is_valid(args[i + 1])) return not_text(args[i + 1]);
      origins.push_back(args[++i]);
    } else if (arg == "--no-data-plane") {
      no_data_plane = true;
    } else if (arg == "--test-only-timing") {
      if (i + 1 == args.size()) return std::unexpected(Failure{"--test-only-timing needs a value", {}});
      if (!quern_protocol::utf8::is_valid(args[i + 1])) return not_text(args[i + 1]);
      if (auto shortened = shorten(timings, args[++i]); !shortened) return std::unexpected(shortened.error());
    } else {
      return std::unexpected(Failure{"unknown flag " + arg, {}});
    }
  }
  Args parsed;
  if (!no_data_plane) parsed.origins = std::move(origins);
  parsed.timings = timings;
  return parsed;
}

asio::awaitable<std::expected<asio::ip::tcp::socket, boost::system::error_code>> accept_data(
    const std::shared_ptr<data_plane::DataPlane>& plane) {
  if (plane) co_return co_await plane->accept();
  // No data plane: this branch never fires.
  co_await wait_forever();
  co_return std::unexpected(asio::error::operation_aborted);
}

asio::awaitable<std::expected<void, Failure>> run(Args args) {
  using namespace asio::experimental::awaitable_operators;
  auto ex = co_await asio::this_coro::executor;

  auto runtime = quern_session::paths::Runtime::from_env();
  if (auto ensured = runtime.ensure(); !ensured) {
    co_return std::unexpected(Failure::os(ensured.error()).context("runtime dir"));
  }

  const Timings& timings = args.timings;
  reaper::Children children;
  auto daemon = std::make_shared<Daemon>(
      registry::Registry(runtime, children, timings),
      supervisor::ps::PsSupervisor(std::make_shared<supervisor::Abandoned>(), timings.kill), ex, timings);

  auto bound = co_await daemon->bind();
  if (!bound) co_return std::unexpected(std::move(bound.error()));
  auto listener = std::make_shared<Listener>(std::move(bound->listener));
  daemon::PidLock pid_lock = std::move(bound->lock);

  std::shared_ptr<data_plane::DataPlane> plane;
  if (args.origins) {
    auto bound_plane = data_plane::DataPlane::bind(std::move(*args.origins), ex, timings);
    if (!bound_plane) co_return std::unexpected(Failure::os(bound_plane.error()).context("data plane"));
    // A failed write drops the data plane, which closes its listener.
    if (auto written = bound_plane->write_endpoint(runtime); !written)
      co_return std::unexpected(Failure::os(written.error()).context("endpoint file"));
    plane = std::make_shared<data_plane::DataPlane>(std::move(*bound_plane));
  }

  task::Task::spawn_detached(ex, reaper::Children::run(children));
  task::Task::spawn_detached(ex, memory::trim_after_bursts());

  for (auto& [id, root] : co_await daemon->registry.sweep()) {
    Daemon::kill(daemon, std::move(id), std::move(root), true);
  }

  auto caught = signals::catch_signals(ex, CAUGHT);
  if (!caught) co_return std::unexpected(Failure::os(caught.error()));
  asio::signal_set& signals = **caught;

  // Accepting runs as a task of its own beside the signal wait, so that no
  // connection accepted in the same turn as a signal is dropped.
  auto accepting = task::Task::spawn(ex, accept_loop(daemon, listener));
  auto data_accepting = task::Task::spawn(ex, accept_data_loop(daemon, plane));
  for (;;) {
    auto [ec, number] = co_await signals.async_wait(use_tuple);
    if (!ec && number == SIGHUP) continue;
    if (!ec) break;
  }

  accepting.abort();
  data_accepting.abort();
  {
    boost::system::error_code ignored;
    listener->close(ignored);
  }
  co_await daemon->drain();
  std::error_code ignored;
  std::filesystem::remove(runtime.daemon_socket(), ignored);
  if (plane) std::filesystem::remove(runtime.data_endpoint(), ignored);
  release_keeping_caught(signals);
  plane.reset();
  // The pid lock is released by its destructor: unlocked, then closed.
  co_return std::expected<void, Failure>{};
}

int main(int argc, char** argv) {
  // Writes to a peer that has gone fail with EPIPE instead of ending the
  // daemon; children get the default action back when they start.
  ::signal(SIGPIPE, SIG_IGN);
  memory::give_back_large_blocks();

  auto args = parse_args(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (!args) {
    std::cerr << daemon::report(args.error()) << std::flush;
    return 1;
  }

  auto loop = event_loop();
  if (!loop) {
    std::cerr << daemon::report(Failure::os(loop.error())) << std::flush;
    return 1;
  }
  asio::io_context& io = **loop;
  std::optional<std::expected<void, Failure>> result;
  asio::co_spawn(io, run(std::move(*args)), [&](std::exception_ptr e, std::expected<void, Failure> r) {
    if (e) {
      result = std::unexpected(failure_of(e));
    } else {
      result = std::move(r);
    }
    io.stop();
  });
  io.run();
  if (!result || !*result) {
    std::cerr << daemon::report(result ? result->error() : Failure{"the event loop ended early", {}}) << std::flush;
    return 1;
  }
  return 0;
}

}  // namespace quernd
