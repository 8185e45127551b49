#include "failure.hpp"

#include <cstddef>
#include <string_view>
#include <utility>

namespace quernd::daemon {
namespace {

// Appends `text` with every line after its first indented by `indent`.
void append_indented(std::string& out, std::string_view text, std::string_view indent) {
  for (std::size_t start = 0;;) {
    std::size_t end = text.find('\n', start);
    out.append(text.substr(start, end - start));
    if (end == std::string_view::npos) return;
    out += '\n';
    out.append(indent);
    start = end + 1;
  }
}

}  // namespace

Failure Failure::context(std::string phrase) const {
  Failure wrapped{std::move(phrase), {}};
  wrapped.causes.reserve(causes.size() + 1);
  wrapped.causes.push_back(text);
  wrapped.causes.insert(wrapped.causes.end(), causes.begin(), causes.end());
  return wrapped;
}

std::string report(const Failure& failure) {
  std::string out = "Error: " + failure.text;
  if (!failure.causes.empty()) {
    out += "\n\nCaused by:";
    const bool numbered = failure.causes.size() > 1;
    for (std::size_t i = 0; i < failure.causes.size(); ++i) {
      out += '\n';
      if (numbered) {
        std::string index = std::to_string(i);
        out.append(index.size() < 5 ? 5 - index.size() : 0, ' ');
        out += index + ": ";
        append_indented(out, failure.causes[i], "       ");
      } else {
        out += "    ";
        append_indented(out, failure.causes[i], "    ");
      }
    }
  }
  out += '\n';
  return out;
}

}  // namespace quernd::daemon
