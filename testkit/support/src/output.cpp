#include "quern_test_support/output.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace quern_test_support {

namespace msg = quern_protocol::message;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void must(std::expected<void, quern_testkit::ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
}

void OutputLog::add(const msg::Output& o, const quern_protocol::Bytes& payload) {
  if (id) {
    EXPECT_EQ(o.id, *id) << "output of another session";
  }
  if (epoch) {
    EXPECT_EQ(o.epoch, *epoch);
  }
  if (!rejoin) {
    EXPECT_EQ(o.sequence, next) << "a gap or a repeat in the output";
  }
  epoch = o.epoch;
  next = o.sequence + payload.size();
  rejoin = false;
  text += payload.view();
}

void read_until(quern_testkit::Client& c, OutputLog& log, std::string_view needle, std::chrono::milliseconds timeout) {
  const std::size_t from = log.text.size();
  const auto deadline = Clock::now() + timeout;
  while (log.text.find(needle, from) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto got = c.recv(std::max(left, 1ms));
    if (!got) {
      throw std::runtime_error("no \"" + std::string(needle) + "\" in the output (" + got.error().text +
                               "): " + log.text.substr(from));
    }
    const auto* out = got->message.get<msg::Output>();
    if (out == nullptr) throw std::runtime_error("expected output, got " + got->message.debug());
    log.add(*out, got->payload);
  }
}

msg::Message next_non_output(quern_testkit::Client& c, OutputLog& log, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    auto p = must(c.recv(std::max(left, 1ms)), "waiting for a message");
    if (const auto* out = p.message.get<msg::Output>()) {
      log.add(*out, p.payload);
      continue;
    }
    return p.message;
  }
}

}  // namespace quern_test_support
