// The writer task of a client connection, shared by every kind of transport:
// the only one that writes to the connection, from its outbound queue, with
// the transport's keepalives in between.
#pragma once

#include <memory>
#include <random>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>

#include "outbound.hpp"
#include "quern_protocol/frame.hpp"
#include "task.hpp"
#include "transport.hpp"

namespace quernd::conn {

namespace asio = boost::asio;
using outbound::Outbound;
using outbound::Popped;
using quern_protocol::frame::EncodedFrame;

namespace detail {

using Event = std::variant<Popped, bool>;

// One wait of the writer: whatever comes first of the queue having something
// for `pop` and the writer's keepalive, looking first at the one chosen.
// Only `ready` races the keepalive, so the queue loses nothing to the race.
template <transport::FrameWriter W>
asio::awaitable<Event> pop_or_keepalive(W& writer, Outbound& out, bool pop_first) {
  using namespace asio::experimental::awaitable_operators;
  for (;;) {
    if (pop_first) {
      if (auto popped = out.try_pop()) co_return Event(std::in_place_index<0>, std::move(*popped));
      auto first = co_await (out.ready() || writer.keepalive());
      task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
      if (first.index() == 1) co_return Event(std::in_place_index<1>, std::get<1>(first));
    } else {
      auto first = co_await (writer.keepalive() || out.ready());
      task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
      if (first.index() == 0) co_return Event(std::in_place_index<1>, std::get<0>(first));
    }
    if (auto popped = out.try_pop()) co_return Event(std::in_place_index<0>, std::move(*popped));
  }
}

}  // namespace detail

// The writer task of a connection: drains its queue into the writer and sends
// the writer's keepalives, until the queue ends or a write fails.
template <transport::FrameWriter W>
asio::awaitable<void> write_loop(W writer, std::shared_ptr<Outbound> out) {
  // A writer that can gather frames takes every frame that is ready.
  constexpr bool batches = requires(W& w, std::span<const EncodedFrame> frames) { w.write_batch(frames); };
  std::vector<EncodedFrame> batch;
  // Which of the two waits is looked at first is drawn afresh in every pass,
  // so that neither can starve the other.
  std::minstd_rand rng;
  if constexpr (W::sends_keepalives) rng.seed(std::random_device{}());
  std::bernoulli_distribution pop_first(0.5);
  for (;;) {
    detail::Event event;
    if constexpr (W::sends_keepalives) {
      event = co_await detail::pop_or_keepalive(writer, *out, pop_first(rng));
    } else {
      // A keepalive that never completes cannot win a race: just pop.
      event.template emplace<0>(co_await out->pop());
    }

    if (const bool* sent = std::get_if<1>(&event)) {
      if (!*sent) break;
      continue;
    }
    Popped& popped = std::get<0>(event);
    if (auto* frame = std::get_if<EncodedFrame>(&popped)) {
      bool written;
      if constexpr (batches) {
        batch.push_back(std::move(*frame));
        out->take_more(batch, transport::WRITE_BATCH_FRAMES, transport::WRITE_BATCH_BYTES);
        written = co_await writer.write_batch(batch);
        batch.clear();
      } else {
        written = co_await writer.write(std::move(*frame));
      }
      task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
      if (!written) break;
    } else if (std::holds_alternative<outbound::Overflowed>(popped)) {
      co_await std::move(writer).overflow();
      task::throw_if_aborted(co_await asio::this_coro::cancellation_state);
      out->close();
      co_return;
    } else {
      // Closed by the connection: nothing to close again.
      co_await std::move(writer).finish();
      co_return;
    }
  }
  // A write or keepalive failed: later pushes of the connection fail, and the
  // writer is dropped with the task.
  out->close();
}

}  // namespace quernd::conn
