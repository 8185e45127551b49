// Signal streams on the daemon's event loop, made without exceptions. The
// first one opens the pipe through which caught signals reach the loop, and
// that fails like any other descriptor when none is left.
#pragma once

#include <expected>
#include <memory>
#include <span>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/signal_set.hpp>

#include "quern_session/os_error.hpp"

namespace quernd::signals {

// A set that catches each of `numbers`, or the error that kept it from
// being made or from catching one of them.
std::expected<std::unique_ptr<boost::asio::signal_set>, quern_session::OsError> catch_signals(
    const boost::asio::any_io_executor& ex, std::span<const int> numbers);

}  // namespace quernd::signals
