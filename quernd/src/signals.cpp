#include "signals.hpp"

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

namespace quernd::signals {

using quern_session::OsError;

std::expected<std::unique_ptr<boost::asio::signal_set>, OsError> catch_signals(
    const boost::asio::any_io_executor& ex, std::span<const int> numbers) {
  std::unique_ptr<boost::asio::signal_set> set;
  // Asio has no error-code form of this constructor: it throws when the
  // loop's signal pipe cannot be opened.
  try {
    set = std::make_unique<boost::asio::signal_set>(ex);
  } catch (const boost::system::system_error& e) {
    return std::unexpected(OsError::from_error_code(e.code()));
  }
  for (int number : numbers) {
    boost::system::error_code ec;
    set->add(number, ec);
    if (ec) return std::unexpected(OsError::from_error_code(ec));
  }
  return set;
}

}  // namespace quernd::signals
