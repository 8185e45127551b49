#include "quern_test_support/shell_tree.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "quern_session/procinfo.hpp"
#include "quern_test_support/process.hpp"

namespace quern_test_support {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

ShellTree::ShellTree(const std::string& prelude) {
#if defined(__linux__)
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
  try {
    start(prelude);
    read_announcements();
    wait_until_settled();
  } catch (...) {
    end();
    throw;
  }
}

ShellTree::~ShellTree() { end(); }

void ShellTree::start(const std::string& prelude) {
  const std::string script = prelude +
                             "sleep 30 & echo \"child $!\"\n"
                             "sh -c 'setsid sleep 30 & echo \"grandchild $!\"; wait' & echo \"mid $!\"\n"
                             "( sleep 30 </dev/null >/dev/null 2>&1 & echo \"orphan $!\" )\n"
                             "wait\n";
  char name[256] = {};
  shell = ::forkpty(&master, name, nullptr, nullptr);
  if (shell < 0) throw std::runtime_error("forkpty failed");
  if (shell == 0) {
    ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  if (!std::string_view(name).starts_with("/dev/")) throw std::runtime_error("a pty outside /dev: " + std::string(name));
  tty = name + 5;

  // This process and the stand-in shim hold the terminal open.
  slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) throw std::runtime_error("open " + std::string(name));
  shim = spawn({.argv = {"sleep", "30"}, .opens = {{0, name, O_RDONLY | O_NOCTTY}}, .own_group = true});
}

// Reads "name pid" lines from the terminal until all four have come.
void ShellTree::read_announcements() {
  std::string seen;
  const auto until = Clock::now() + 5s;
  while (pids.size() < 4 && Clock::now() < until) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) throw std::runtime_error("the terminal ended; the shell printed: " + seen);
    seen.append(buf, static_cast<std::size_t>(n));
    std::istringstream words(seen);
    std::string word, next;
    pids.clear();
    for (words >> word; words >> next; word = next) {
      if (word == "child" || word == "mid" || word == "grandchild" || word == "orphan") {
        pids[word] = std::atoi(next.c_str());
      }
    }
  }
  if (pids.size() != 4) throw std::runtime_error("the shell printed: " + seen);
}

void ShellTree::wait_until_settled() const {
  namespace procinfo = quern_session::procinfo;
  auto descends_from_shell = [&](pid_t pid) {
    for (auto f = procinfo::family(pid); f && f->ppid > 1; f = procinfo::family(f->ppid)) {
      if (f->ppid == shell) return true;
    }
    return false;
  };
  const pid_t grandchild = pids.at("grandchild");
  const pid_t orphan = pids.at("orphan");
  const bool settled = eventually(
      [&] {
        auto g = procinfo::family(grandchild);
        return g && g->pgid == grandchild && procinfo::family(orphan) && !descends_from_shell(orphan);
      },
      5s);
  if (!settled) throw std::runtime_error("the process tree did not settle");
}

void ShellTree::end() {
  std::vector<pid_t> ours;
  for (pid_t pid : {shim, shell}) {
    if (pid > 0) ours.push_back(pid);
  }
  for (const auto& [name, pid] : pids) {
    if (pid > 0) ours.push_back(pid);
  }
  // Reap each by its pid, killing it while it runs; the shell's descendants
  // come to us as their parents go. One that is not ours counts once it is gone.
  const auto until = Clock::now() + 5s;
  while (!ours.empty() && Clock::now() < until) {
    std::erase_if(ours, [](pid_t pid) {
      const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
      if (r == pid) return true;
      if (r == 0) {
        ::kill(pid, SIGKILL);
        return false;
      }
      if (::kill(pid, 0) != 0) return true;
#if !defined(__linux__)
      ::kill(pid, SIGKILL);  // without a subreaper, init has it
#endif
      return false;
    });
    if (!ours.empty()) std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(ours.empty()) << "left running: " << ours.size() << " processes of the tree";
#if defined(__linux__)
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
#endif
  if (slave >= 0) ::close(slave);
  if (master >= 0) ::close(master);
  shell = shim = master = slave = -1;
  pids.clear();
}

}  // namespace quern_test_support
