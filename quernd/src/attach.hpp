// The attachments that join a session's shim to a client connection: the
// table of a connection's sessions, the two pumps of each, and the
// forwarding of client input into a session's input channel.
#pragma once

#include <map>
#include <memory>
#include <optional>

#include <boost/asio/awaitable.hpp>

#include "frames.hpp"
#include "input_channel.hpp"
#include "outbound.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"
#include "quern_session/wire.hpp"
#include "sync.hpp"
#include "task.hpp"
#include "shim_hello.hpp"

namespace quernd::conn {

// EncodedFrame, Frame and PtyId come with frames.hpp.
namespace asio = boost::asio;
using outbound::Outbound;
using task::Task;

// One session attached on one connection. Dropping it aborts the from-shim
// pump, then the to-shim pump, then releases the input channel; nothing is
// sent to the shim or to the client.
struct Attached {
  InputSender input;
  Task from_shim;
  Task to_shim;
  // Set from the channel's first refusal of a client frame until it next
  // accepts one: the client hears "input queue full" once per congestion.
  bool congested = false;

  Attached(InputSender input, Task from_shim, Task to_shim);
  Attached(Attached&& other) noexcept = default;
  Attached& operator=(Attached&& other) noexcept;
  ~Attached();

  // Whether the session is gone from here: nothing comes from the shim any
  // more and nothing can reach it.
  bool ended() const;

 private:
  void abort();
};

// The attachments of one connection, by session.
using Attachments = std::map<PtyId, Attached>;

// The attachment of `id` while it lasts; one that has ended is removed from
// the table, so that the session counts as not attached here.
Attached* attachment(Attachments& table, const PtyId& id);

// Starts the two pumps over a greeted shim connection. Never fails, never
// waits.
Attached attach(wire::Connection shim, std::shared_ptr<Outbound> out);

// Hands a client frame for session `id` to its input channel, never waiting.
// Returns the reply for the connection to queue: "not attached" when the
// session is not attached here, otherwise none. A full channel drops the
// frame and reports "input queue full" straight to the queue, once per
// congestion and only if the queue takes it at once.
std::optional<EncodedFrame> forward(Attachments& table, Outbound& out, const PtyId& id,
                                    Frame frame, sync::Wake when = sync::Wake::later);

// Writes the client's frames to the shim in order until the channel ends or
// a write fails; then the shim sees the end of its input.
asio::awaitable<void> pump_to_shim(InputReceiver input, quern_session::wire::WriteHalf shim);

// Relays the shim's output, exited, listed and error frames to the client's
// queue until the shim's stream ends or fails or sends something that is no
// message. While more than the queue's ADMISSION_THRESHOLD waits for the
// client, it pauses the shim, queues the refused frame within HARD_LIMIT, waits until the queue is empty and
// resumes the shim. When it ends on a shim that cannot be written to either
// (gone, or no longer reading), it closes the input channel.
asio::awaitable<void> pump_from_shim(quern_session::wire::Reader shim, std::shared_ptr<Outbound> out,
                                     InputSender input);

}  // namespace quernd::conn
