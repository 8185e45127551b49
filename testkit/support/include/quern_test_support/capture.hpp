// Scoped stand-ins for this process's standard streams.
#pragma once

#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

namespace quern_test_support {

// Whatever is written to std::cerr while it lives; std::cerr is given back
// at its end, however the scope is left.
class CaptureStderr {
 public:
  CaptureStderr() : saved_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CaptureStderr() { std::cerr.rdbuf(saved_); }
  CaptureStderr(const CaptureStderr&) = delete;
  CaptureStderr& operator=(const CaptureStderr&) = delete;

  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
};

}  // namespace quern_test_support
