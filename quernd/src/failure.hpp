// The daemon's start-up errors: a text with the chain of its causes, and the
// report that ends a failed start-up.
#pragma once

#include <string>
#include <vector>

#include "quern_session/os_error.hpp"

namespace quernd::daemon {

using quern_session::OsError;

// An error of start-up: its own text and the texts of its causes, from the
// one just below it down to the innermost.
struct Failure {
  std::string text;
  std::vector<std::string> causes;

  // An operating-system error as it stands, without causes.
  static Failure os(const OsError& error) { return Failure{error.what(), {}}; }
  // This error wrapped in a context phrase: the phrase becomes the text and
  // this error's text and causes become the causes.
  Failure context(std::string phrase) const;

  friend bool operator==(const Failure&, const Failure&) = default;
};

// The report that ends a failed start-up: "Error: ", the text, and under
// "Caused by:" each cause, numbered when there are several. Ends in a newline.
std::string report(const Failure& failure);

}  // namespace quernd::daemon
