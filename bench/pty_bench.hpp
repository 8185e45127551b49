// The relay benchmark's terminal cases: a large file of base64 lines that
// `cat` prints on a session's terminal, and keystrokes echoed back by a
// program on it, through the daemon with its test shim beside dtach (a peer
// used as it is, attached from a terminal of the benchmark's own).
#pragma once

#include <cstddef>
#include <filesystem>

namespace quern_bench {

struct PtyOptions {
  std::filesystem::path daemon;   // quernd
  std::filesystem::path session;  // the test shim the daemon starts
  std::size_t megabytes = 283;    // of the file `cat` prints
  std::size_t echoes = 5000;
  std::size_t runs = 3;           // of `cat` on each path, alternated
};

// Prints the terminal cases' rows, or a line saying why they are skipped.
void pty_cases(const PtyOptions& o);

}  // namespace quern_bench
