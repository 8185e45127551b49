// Compact JSON text: no white space, object keys in ascending byte order at
// every level, and only the escapes JSON requires (0x7F, '/' and non-ASCII
// are written as they are).
#pragma once

#include <string>

#include <boost/json/value.hpp>

namespace quern_protocol::json {

void write_compact(const boost::json::value& v, std::string& out);
std::string write_compact(const boost::json::value& v);

}  // namespace quern_protocol::json
