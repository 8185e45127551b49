// A real session's process tree on a terminal of the test's own, for tests
// that look for a session's processes and end them.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace quern_test_support {

// A shell on a fresh pty (the leader of its own session and group) that runs
// `prelude` and then starts: "child", a child; "mid", a child whose setsid'd
// child "grandchild" still holds the terminal; "orphan", a process left in
// the shell's group after its parent went. A stand-in shim (`sleep 30` with
// stdin on the terminal, in a group of its own) and this process hold the
// terminal too. On Linux this process is a subreaper meanwhile, so that the
// orphans come to it. At the end everything it started is killed and reaped.
class ShellTree {
 public:
  // Starts the tree and waits until it has settled: the grandchild leads its
  // own group and the orphan no longer descends from the shell. Throws when
  // it cannot.
  explicit ShellTree(const std::string& prelude = "");
  ShellTree(const ShellTree&) = delete;
  ShellTree& operator=(const ShellTree&) = delete;
  ~ShellTree();

  pid_t shell = -1;
  pid_t shim = -1;
  int master = -1;
  int slave = -1;
  std::string tty;                     // the terminal's name without "/dev/"
  std::map<std::string, pid_t> pids;  // "child", "mid", "grandchild", "orphan"

 private:
  void start(const std::string& prelude);
  void read_announcements();
  void wait_until_settled() const;
  void end();
};

}  // namespace quern_test_support
