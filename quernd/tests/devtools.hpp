// Headless Chromium as a child of a test, driven over its DevTools protocol
// on a pipe: commands sent as JSON and their answers awaited, pages opened
// and attached, script evaluated in them, keys typed by key events, the
// window resized, screenshots taken.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "quern_session/fd.hpp"
#include "quern_test_support/process.hpp"

namespace quernd_e2e::devtools {

// A Chromium executable: $QUERN_CHROMIUM, the one CMake found, or one on
// PATH; none when there is none.
std::optional<std::string> find_chromium();

class Browser;

// One page (tab) of the browser, attached to in flat mode.
class Page {
 public:
  Page(Browser& browser, std::string target_id, std::string session_id)
      : browser_(&browser), target_(std::move(target_id)), session_(std::move(session_id)) {}

  boost::json::object call(const std::string& method, boost::json::object params = {});
  // The value of `expression` (awaited when it is a promise); throws what
  // the script threw.
  boost::json::value evaluate(const std::string& expression);
  // Whether `expression` became true within `limit`, evaluated every 50 ms.
  bool wait_for(const std::string& expression, std::chrono::milliseconds limit);
  // Loads `url` and waits until its document has loaded.
  void navigate(const std::string& url);
  // Types `text` as key events to the focused element, a newline as Enter.
  void type(std::string_view text);
  // Sets the browser window's outer size, in CSS pixels.
  void resize_window(int width, int height);
  // The page as a PNG image.
  std::string screenshot();

 private:
  Browser* browser_;
  std::string target_;
  std::string session_;
};

class Browser {
 public:
  // Starts Chromium headless with a profile, home and temporary directory
  // of its own under `dir`, its outputs in `dir`, leading a process group of
  // its own.
  Browser(const std::string& chromium, const std::filesystem::path& dir);
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;
  // Kills the browser's process group and reaps the browser.
  ~Browser();

  // Sends `method` with `params`, to the page session `session` when given,
  // and waits up to `limit` for its answer: the result, or a throw with the
  // error (or the browser's end).
  boost::json::object call(const std::string& method, boost::json::object params = {},
                           const std::string& session = {},
                           std::chrono::milliseconds limit = std::chrono::seconds(60));
  // A new page showing `url`, in the browser context `context` when given
  // (a context shares no cookies with the others).
  Page open(const std::string& url, const std::string& context = {});
  // A new browser context of its own.
  std::string new_context();

  // What the browser wrote on standard error, its last 4000 bytes.
  std::string describe() const;

 private:
  std::filesystem::path err_;
  quern_session::Fd pipe_;  // our end; the browser reads its descriptor 3 and writes its 4
  quern_test_support::Process process_;
  std::string pending_;  // received bytes not yet cut into messages
  std::uint64_t next_id_ = 1;
};

}  // namespace quernd_e2e::devtools
