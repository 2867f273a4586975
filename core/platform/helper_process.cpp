// Helper executables as child processes: started without a shell or inherited descriptors, waited
// for within a limit, killed with what they started when it passes.
#include "core/platform/helper_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "core/platform/deadline.hpp"
#include "core/platform/path.hpp"

extern char** environ;

namespace diruri {

namespace {

pid_t waitRetrying(pid_t pid, int* status, int options) {
  pid_t r;
  do {
    r = ::waitpid(pid, status, options);
  } while (r < 0 && errno == EINTR);
  return r;
}

pid_t spawnHelper(const std::string& helper, const std::vector<std::string>& arguments) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return -1;
  }
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // Its own process group, so a timeout kills whatever the helper started too; default signal
  // handling and an empty mask, whatever the server set for itself.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);

  std::vector<std::string> strings{helper};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int err = posix_spawn(&pid, helper.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return err == 0 ? pid : -1;
}

// Waits for the child's exit without polling: a pidfd becomes readable when the child ends.
// True with the status when it ended in time; false when the limit passed first.
bool waitWithin(pid_t pid, std::chrono::milliseconds limit, int* status) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      pollfd p{pidfd, POLLIN, 0};
      const int r = ::poll(&p, 1, millisUntil(deadline));
      if (r > 0) break;
      if ((r == 0 && std::chrono::steady_clock::now() >= deadline) || (r < 0 && errno != EINTR)) {
        ::close(pidfd);
        return false;
      }
    }
    ::close(pidfd);
    return waitRetrying(pid, status, 0) == pid;
  }
  // Kernels before 5.3 have no pidfd: check at short intervals instead.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitRetrying(pid, status, WNOHANG) == pid) return true;
    ::usleep(5000);
  }
  return false;
}

}  // namespace

std::string besideExecutable(const std::string& name) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  const std::string exe(buf, static_cast<size_t>(n));
  if (exe.find('/') == std::string::npos) return {};
  return joinPath(parentDirectory(exe), name);
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

HelperRun runHelper(const std::string& helper, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit) {
  HelperRun run;
  const pid_t pid = spawnHelper(helper, arguments);
  if (pid < 0) return run;
  run.processId = pid;
  int status = 0;
  if (!waitWithin(pid, limit, &status)) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    waitRetrying(pid, &status, 0);
    run.timedOut = true;
    return run;
  }
  run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

}  // namespace diruri
