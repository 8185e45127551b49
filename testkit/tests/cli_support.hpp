// What the tests of quern-client share: a temporary directory, the client
// run as a child process (on a pipe or on a terminal) and a pseudo-terminal.
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
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quern_testkit/client.hpp"

namespace quern_cli_test {

namespace fs = std::filesystem;
using quern_testkit::ClientError;
using namespace std::chrono_literals;

inline constexpr auto kWait = 5s;

inline void set_cloexec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

template <class T>
T must(std::expected<T, ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
  return std::move(*r);
}
inline void must(std::expected<void, ClientError> r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": " + r.error().text);
}

// Polls `done` every 10 ms until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/quern-cli-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

inline std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One run of quern-client, with TERM, QUERN_RUNTIME_DIR and `env` as its whole
// environment. Its stdin is a pipe that the test writes, or a terminal that
// serves as its stdin and stdout; stdout and stderr otherwise go to files.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args, const fs::path& runtime_dir = "/nonexistent",
                 int tty = -1, const std::vector<std::string>& env = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int in[2] = {-1, -1};
    if (tty >= 0) {
      posix_spawn_file_actions_adddup2(&actions, tty, STDIN_FILENO);
      posix_spawn_file_actions_adddup2(&actions, tty, STDOUT_FILENO);
    } else {
      if (::pipe(in) != 0) throw std::runtime_error("pipe");
      set_cloexec(in[0]);
      set_cloexec(in[1]);
      input_ = in[1];
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir_.path / "out").c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir_.path / "err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<std::string> words = {QUERN_CLIENT_BIN_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_words = {"TERM=xterm-test", "QUERN_RUNTIME_DIR=" + runtime_dir.string()};
    env_words.insert(env_words.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& w : env_words) envp.push_back(w.data());
    envp.push_back(nullptr);

    int rc = ::posix_spawn(&pid_, QUERN_CLIENT_BIN_PATH, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (in[0] >= 0) ::close(in[0]);
    if (rc != 0) throw std::runtime_error("posix_spawn: " + std::to_string(rc));
  }
  ~Child() {
    end_input();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  void type(std::string_view bytes) {
    ASSERT_EQ(::write(input_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void end_input() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  // The exit status; -1 when it was killed or had to be, after kWait.
  int wait() {
    auto deadline = std::chrono::steady_clock::now() + kWait;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "quern-client did not end";
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string out() const { return slurp(dir_.path / "out"); }
  std::string err() const { return slurp(dir_.path / "err"); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int input_ = -1;
};

// A pseudo-terminal whose slave side the test keeps open.
struct Pty {
  int master = -1;
  int slave = -1;
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("posix_openpt");
    slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) throw std::runtime_error("open pty slave");
    set_cloexec(master);
    set_cloexec(slave);
  }
  ~Pty() {
    ::close(slave);
    ::close(master);
  }
  void set_size(unsigned short cols, unsigned short rows) const {
    winsize ws{};
    ws.ws_col = cols;
    ws.ws_row = rows;
    ::ioctl(slave, TIOCSWINSZ, &ws);
  }
  termios modes() const {
    termios t{};
    ::tcgetattr(slave, &t);
    return t;
  }
  // What the terminal shows from now on, until it has been quiet for 200 ms.
  std::string drain() {
    std::string got = std::exchange(seen_, {});
    pollfd p{master, POLLIN, 0};
    while (::poll(&p, 1, 200) == 1 && read_some(got)) {
    }
    return got;
  }
  // Reads until `needle` has been shown; what follows it stays for drain.
  bool read_until(std::string_view needle, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (seen_.find(needle) == std::string::npos) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{master, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1 || !read_some(seen_)) return false;
    }
    seen_.erase(0, seen_.find(needle) + needle.size());
    return true;
  }

 private:
  bool read_some(std::string& into) const {
    char buf[4096];
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  std::string seen_;  // shown, and not yet taken
};

}  // namespace quern_cli_test
