// The daemon's entry: the command line, and the daemon's whole life from the
// check of the runtime directory to the release of the pid lock.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "failure.hpp"
#include "timings.hpp"

namespace quernd {

// The allowed origin of a development web server on this machine.
inline constexpr const char* DEV_ORIGIN = "http://localhost:5173";

struct Args {
  // None: the browser data plane is off. Otherwise its allowed origins, in
  // the order given, duplicates kept; an empty list refuses every browser.
  std::optional<std::vector<std::string>> origins;
  // The product's, unless a test shortened some.
  Timings timings = Timings::product();
  friend bool operator==(const Args&, const Args&) = default;
};

// Reads the arguments after the program name. Besides the flags for users,
// tests of the daemon process may give `--test-only-timing NAME=MILLISECONDS`
// (repeatable), which shortens one time limit: only to a whole number of
// milliseconds from 1 up to the product's value, never longer.
std::expected<Args, daemon::Failure> parse_args(const std::vector<std::string>& args);

namespace data_plane {
class DataPlane;
}

// The next connection of the data plane; without one, never completes.
boost::asio::awaitable<std::expected<boost::asio::ip::tcp::socket, boost::system::error_code>> accept_data(
    const std::shared_ptr<data_plane::DataPlane>& plane);

// Start-up, the main loop and shutdown. Succeeds only after a shutdown by
// SIGTERM or SIGINT.
boost::asio::awaitable<std::expected<void, daemon::Failure>> run(Args args);

// The process entry: parses the command line and runs the daemon on one
// thread. Returns the exit status; an error has been reported on stderr.
int main(int argc, char** argv);

}  // namespace quernd
