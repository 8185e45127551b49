#include "quern_session/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

extern char** environ;

namespace quern_session::child {
namespace {

// The two posix_spawn objects of one start, destroyed with it.
class Setup {
 public:
  Setup() = default;
  Setup(const Setup&) = delete;
  Setup& operator=(const Setup&) = delete;
  ~Setup() {
    if (has_attr_) ::posix_spawnattr_destroy(&attr);
    if (has_actions_) ::posix_spawn_file_actions_destroy(&actions);
  }

  // 0 or the error number of the first init that failed.
  int init() {
    if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) return rc;
    has_actions_ = true;
    if (int rc = ::posix_spawnattr_init(&attr); rc != 0) return rc;
    has_attr_ = true;
    return 0;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;

 private:
  bool has_actions_ = false;
  bool has_attr_ = false;
};

// The file actions for the child's descriptor `fd`; `child_end` is its end
// of the pipe when the stream is piped. 0 or an error number.
int add_stream(Setup& setup, int fd, Stdio stdio, const Fd& child_end) {
  switch (stdio) {
    case Stdio::Inherit:
#if defined(__APPLE__)
      // Every descriptor not named closes at exec; a closed one cannot be named.
      if (::fcntl(fd, F_GETFD) != -1) return ::posix_spawn_file_actions_addinherit_np(&setup.actions, fd);
#endif
      return 0;
    case Stdio::Null:
      return ::posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null",
                                                fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    case Stdio::Pipe:
      return ::posix_spawn_file_actions_adddup2(&setup.actions, child_end.get(), fd);
  }
  return EINVAL;
}

// Closes every descriptor above 2 in the child, and restores SIGPIPE and the
// signal mask. 0 or an error number.
int add_hygiene(Setup& setup) {
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  int rc = 0;
#if defined(__APPLE__)
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Descriptors that someone left inheritable stay out of the child too.
  rc = ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#endif
  sigset_t defaults, none;
  ::sigemptyset(&defaults);
  ::sigaddset(&defaults, SIGPIPE);
  ::sigemptyset(&none);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&setup.attr, &none);
  if (rc == 0) rc = ::posix_spawnattr_setflags(&setup.attr, flags);
  return rc;
}

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

std::expected<Pipe, OsError> make_pipe() {
  int fds[2];
#if defined(__linux__)
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(OsError::last());
  Pipe pipe{Fd(fds[0]), Fd(fds[1])};
#else
  if (::pipe(fds) != 0) return std::unexpected(OsError::last());
  Pipe pipe{Fd(fds[0]), Fd(fds[1])};
  for (int fd : fds) {
    if (auto set = set_close_on_exec(fd); !set) return std::unexpected(set.error());
  }
#endif
  for (Fd* end : {&pipe.read, &pipe.write}) {
    if (end->get() > 2) continue;
    int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return std::unexpected(OsError::last());
    *end = Fd(moved);
  }
  return pipe;
}

std::expected<Spawned, OsError> spawn(const Command& command) {
  if (command.argv.empty()) return std::unexpected(OsError::custom(ErrorKind::InvalidInput, "no program"));

  Spawned spawned;
  // Closed here once the child has its copies. Nothing passes through this
  // process's copies, and close releases a descriptor whatever it returns, so
  // a failed close changes nothing the caller could act on.
  std::array<Fd, 3> child_ends;
  for (int fd = 0; fd < 3; ++fd) {
    if (command.stdio[fd] != Stdio::Pipe) continue;
    auto pipe = make_pipe();
    if (!pipe) return std::unexpected(std::move(pipe.error()));
    const bool child_reads = fd == STDIN_FILENO;
    child_ends[fd] = std::move(child_reads ? pipe->read : pipe->write);
    spawned.pipes[fd] = std::move(child_reads ? pipe->write : pipe->read);
  }

  Setup setup;
  int rc = setup.init();
  for (int fd = 0; fd < 3 && rc == 0; ++fd) rc = add_stream(setup, fd, command.stdio[fd], child_ends[fd]);
  if (rc == 0) rc = add_hygiene(setup);
  if (rc != 0) return std::unexpected(OsError::from_errno(rc));

  auto argv = c_strings(command.argv);
  auto envp = command.env ? c_strings(*command.env) : std::vector<char*>{};
  char* const* env = command.env ? envp.data() : environ;
  pid_t pid = -1;
  rc = command.search_path ? ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), env)
                           : ::posix_spawn(&pid, argv[0], &setup.actions, &setup.attr, argv.data(), env);
  if (rc != 0) return std::unexpected(OsError::from_errno(rc));
  spawned.pid = pid;
  return spawned;
}

std::expected<std::optional<int>, OsError> try_wait(pid_t pid) {
  // 0 and negative numbers would wait for any child or a whole group.
  if (pid <= 0) return std::unexpected(OsError::from_errno(EINVAL));
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r == 0) return std::nullopt;
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
}

std::expected<int, OsError> wait(pid_t pid) {
  if (pid <= 0) return std::unexpected(OsError::from_errno(EINVAL));
  int status = 0;
  while (::waitpid(pid, &status, 0) != pid) {
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
  return status;
}

namespace {

// The pid of an exited child of this process, left uncollected; 0 when no
// child has exited.
std::expected<pid_t, OsError> peek_exited() {
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0) return info.si_pid;
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
}

}  // namespace

std::size_t Held::collect() {
  // The system shows one exited child at a time. A held one is collected and
  // the next looked at; one held elsewhere must keep its status, and it hides
  // any exited child behind it, so then every held pid is asked about.
  for (;;) {
    auto exited = peek_exited();
    if (!exited) return exited.error().raw_os_error() == ECHILD ? pids_.size() : reap();
    if (*exited == 0) return pids_.size();
    auto held = std::ranges::find(pids_, *exited);
    if (held == pids_.end()) return reap();
    auto state = try_wait(*exited);
    // Shown as exited yet still running: nothing to trust, so ask each one.
    if (state && !state->has_value()) return reap();
    pids_.erase(held);
  }
}

std::size_t Held::reap() {
  // Exited and collected, or no longer to be asked about: either way not
  // worth holding any more.
  std::erase_if(pids_, [](pid_t pid) {
    auto state = try_wait(pid);
    return !state || state->has_value();
  });
  return pids_.size();
}

}  // namespace quern_session::child
