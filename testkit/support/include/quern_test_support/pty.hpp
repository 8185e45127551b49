// A pseudo-terminal for tests that put a program on a terminal.
#pragma once

#include <termios.h>

#include <chrono>
#include <string>
#include <string_view>

namespace quern_test_support {

// A pseudo-terminal whose slave side the test keeps open; both sides are
// close-on-exec.
class Pty {
 public:
  Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  ~Pty();

  void set_size(unsigned short cols, unsigned short rows) const;
  termios modes() const;
  // What the terminal shows from now on, until it has been quiet for 200 ms.
  std::string drain();
  // Reads until `needle` has been shown; what follows it stays for drain.
  bool read_until(std::string_view needle, std::chrono::milliseconds timeout);

  int master = -1;
  int slave = -1;

 private:
  bool read_some(std::string& into) const;

  std::string seen_;  // shown, and not yet taken
};

}  // namespace quern_test_support
