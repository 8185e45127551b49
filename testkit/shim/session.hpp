// The shim's event loop: the session socket's connections, the pty and the
// program's end, on one thread with poll(2).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "program.hpp"
#include "quern_protocol/bytes.hpp"
#include "quern_protocol/frame.hpp"
#include "quern_protocol/message.hpp"
#include "quern_testkit/terminal_modes.hpp"

namespace quern_shim {

struct SessionSetup {
  quern_protocol::message::PtyId id;
  std::uint64_t epoch;  // fixed for this shim's run
  int listener;         // the bound session socket; the session closes it
  int child_signal;     // read end of the SIGCHLD pipe
  std::filesystem::path socket;
  std::filesystem::path manifest;
};

class Session {
 public:
  Session(SessionSetup setup, Program& program);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Serves until the program has ended and its end has been reported to a
  // viewer, or the session has been closed; the session's socket and
  // manifest are gone when it returns.
  void run();

 private:
  using Clock = std::chrono::steady_clock;
  struct Conn;

  bool reading_pty() const;
  std::size_t attached_count() const;
  static bool takes_output(const Conn& c);
  int poll_timeout(Clock::time_point now) const;

  void accept_all();
  void read_pty();
  void write_pty();
  void read_conn(Conn& c);
  void write_conn(Conn& c);
  void handle(Conn& c, const quern_protocol::frame::Frame& frame);
  void attach(Conn& c, const quern_protocol::message::Attach& a);
  void detach(Conn& c);
  void size_from(Conn& c, std::uint16_t cols, std::uint16_t rows);
  void follow_latest_size();
  void queue(Conn& c, const quern_protocol::message::Message& m, quern_protocol::Bytes payload = {});
  void queue(Conn& c, const quern_protocol::frame::EncodedFrame& f);
  void relay(Conn& c, const quern_protocol::frame::EncodedFrame& output);
  void release_held(Conn& c, bool even_now = false);
  bool for_us(Conn& c, const quern_protocol::message::PtyId& id);
  void check_end(Clock::time_point now);
  void finish(Clock::time_point now);

  SessionSetup setup_;
  Program& program_;
  std::vector<std::unique_ptr<Conn>> conns_;

  quern_protocol::BytesMut pty_buf_;
  std::deque<quern_protocol::Bytes> pty_input_;
  std::size_t pty_input_bytes_ = 0;
  bool pty_open_ = true;        // false once the terminal's other side has closed
  bool ever_attached_ = false;  // until the first attach, output waits in the pty
  std::uint64_t sequence_ = 0;  // bytes read from the pty so far
  quern_testkit::TerminalModes modes_;  // what the output read so far has turned on
  std::uint64_t sizings_ = 0;   // attaches and resizes that gave a size, counted
  bool viewer_left_ = false;    // an attached connection has left since the last look

  std::optional<Ended> ended_;
  bool close_asked_ = false;       // the daemon has closed the session
  Clock::time_point quiet_since_;  // the pty's last output, or when reading last resumed
  bool finishing_ = false;
  Clock::time_point finish_by_;
  Clock::time_point accept_after_;
};

}  // namespace quern_shim
