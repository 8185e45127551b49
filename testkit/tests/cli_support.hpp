// What the tests of quern-client share: the client run as a child process,
// on a pipe or on a terminal.
#pragma once

#include <chrono>
#include <csignal>
#include <expected>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quern_session/child.hpp"
#include "quern_session/fd.hpp"
#include "quern_test_support/files.hpp"
#include "quern_test_support/output.hpp"
#include "quern_test_support/process.hpp"
#include "quern_test_support/pty.hpp"
#include "quern_testkit/client.hpp"

namespace quern_cli_test {

namespace fs = std::filesystem;
using quern_testkit::ClientError;
using namespace std::chrono_literals;

inline constexpr auto kWait = 5s;

inline void set_cloexec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

using quern_test_support::eventually;
using quern_test_support::must;
using quern_test_support::Pty;
using quern_test_support::read_file;
using quern_test_support::TempDir;

// One run of quern-client, with TERM, QUERN_RUNTIME_DIR and `env` as its whole
// environment. Its stdin is a pipe that the test writes, or a terminal that
// serves as its stdin and stdout; stdout and stderr otherwise go to files.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args, const fs::path& runtime_dir = "/nonexistent",
                 int tty = -1, const std::vector<std::string>& env = {}) {
    quern_test_support::Spawn how{.argv = {QUERN_CLIENT_BIN_PATH},
                                  .env = std::vector<std::string>{"TERM=xterm-test",
                                                                  "QUERN_RUNTIME_DIR=" + runtime_dir.string()}};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    how.env->insert(how.env->end(), env.begin(), env.end());
    quern_session::Fd in_read;
    if (tty >= 0) {
      how.dups = {{tty, STDIN_FILENO}, {tty, STDOUT_FILENO}};
    } else {
      auto in = quern_session::child::make_pipe();
      if (!in) throw std::runtime_error("pipe");
      in_read = std::move(in->read);
      input_ = in->write.release();
      how.dups = {{in_read.get(), STDIN_FILENO}};
      how.opens = {{STDOUT_FILENO, dir_.path / "out", O_WRONLY | O_CREAT | O_TRUNC}};
    }
    how.opens.push_back({STDERR_FILENO, dir_.path / "err", O_WRONLY | O_CREAT | O_TRUNC});
    process_ = quern_test_support::Process(how);
  }
  ~Child() { end_input(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return process_.pid(); }
  void type(std::string_view bytes) {
    ASSERT_EQ(::write(input_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void end_input() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  // The exit status (128 + n after signal n), killing it when it has not
  // ended after `timeout`.
  int wait(std::chrono::milliseconds timeout = kWait) {
    auto status = process_.wait_exit(timeout);
    if (!status) {
      ADD_FAILURE() << "quern-client did not end";
      process_.end();
      status = process_.wait_exit(0ms);
    }
    return status.value_or(-1);
  }
  std::string out() const { return read_file(dir_.path / "out"); }
  std::string err() const { return read_file(dir_.path / "err"); }

 private:
  TempDir dir_;
  quern_test_support::Process process_;
  int input_ = -1;
};

}  // namespace quern_cli_test
