// quern-client: a hand-driven client of the daemon socket.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quern_protocol/message.hpp"
#include "quern_testkit/client.hpp"

namespace quern_cli {

// Prints "quern-client: " and the text on standard error.
void complain(std::string_view text);
// An `error` message as one line: its id (when it has one) and its text.
std::string describe(const quern_protocol::message::Error& e);

// How a session ended, as "exited: code 0", "exited: signal 9" or "exited".
std::string exit_text(const quern_protocol::message::Exit& e);

// Connects and completes hello/welcome; on failure complains and returns none.
std::optional<quern_testkit::Client> connect_and_greet(const std::filesystem::path& socket);

// `attach`: runs the session on this terminal; returns the exit status. The
// detach key detaches; with none, only the session's end or a signal ends it.
int attach(quern_testkit::Client& client, const std::string& id, const std::vector<std::string>& argv,
           std::optional<unsigned char> detach_key);

}  // namespace quern_cli
