// Whole-screen PNG screenshots taken by the project's screenshot helper as a child process.
#include "core/x11/screen_capture_store.hpp"

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
#include <chrono>
#include <climits>

#include "core/platform/deadline.hpp"
#include "core/platform/path.hpp"
#include "core/x11/x11_connection.hpp"

extern char** environ;

namespace diruri {

namespace {

std::string helperBesideExecutable() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  const std::string exe(buf, static_cast<size_t>(n));
  if (exe.find('/') == std::string::npos) return {};
  return joinPath(parentDirectory(exe), kScreenshotHelperName);
}

pid_t waitRetrying(pid_t pid, int* status, int options) {
  pid_t r;
  do {
    r = ::waitpid(pid, status, options);
  } while (r < 0 && errno == EINTR);
  return r;
}

pid_t spawnHelper(const std::string& helper, const std::string& target) {
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

  std::string arg0 = helper;
  std::string arg1 = target;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  pid_t pid = -1;
  const int err = posix_spawn(&pid, helper.c_str(), &actions, &attr, argv, environ);
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

ScreenCaptureStore::ScreenCaptureStore(FileSystem& fileSystem, X11DisplayProbe& probe)
    : ScreenCaptureStore(
          fileSystem, nullptr, [&probe] { return probe.current().reachable; }, helperBesideExecutable(),
          kDefaultTimeout) {}

ScreenCaptureStore::ScreenCaptureStore(FileSystem& fileSystem, std::function<bool()> screenReachable)
    : ScreenCaptureStore(fileSystem, nullptr, std::move(screenReachable), helperBesideExecutable(),
                         kDefaultTimeout) {}

ScreenCaptureStore::ScreenCaptureStore(FileSystem& fileSystem)
    : ScreenCaptureStore(fileSystem, helperBesideExecutable()) {}

ScreenCaptureStore::ScreenCaptureStore(FileSystem& fileSystem, std::string helperPath,
                                       std::chrono::milliseconds timeout)
    : ScreenCaptureStore(fileSystem, std::make_unique<X11DisplayProbe>(), nullptr, std::move(helperPath),
                         timeout) {}

ScreenCaptureStore::ScreenCaptureStore(FileSystem& fileSystem, std::unique_ptr<X11DisplayProbe> ownProbe,
                                       std::function<bool()> screenReachable, std::string helperPath,
                                       std::chrono::milliseconds timeout)
    : fileSystem_(fileSystem),
      ownProbe_(std::move(ownProbe)),
      screenReachable_(screenReachable ? std::move(screenReachable) : std::function<bool()>([this] {
        return ownProbe_->current().reachable;
      })),
      helperPath_(std::move(helperPath)),
      timeout_(timeout) {}

bool ScreenCaptureStore::canCaptureScreen() {
  struct stat st {};
  if (helperPath_.empty() || ::stat(helperPath_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ::access(helperPath_.c_str(), X_OK) != 0) {
    return false;
  }
  return screenReachable_();
}

ScreenCaptureResult ScreenCaptureStore::capturePNG(const std::string& path) {
  ScreenCaptureResult result{path, false};
  // Every failure becomes ok == false: the caller records the flag, never an error.
  try {
    if (path.find('/') != std::string::npos) fileSystem_.createDirectories(parentDirectory(path));
  } catch (const std::exception&) {
    return result;
  }
  if (helperPath_.empty()) return result;

  const pid_t pid = spawnHelper(helperPath_, path);
  if (pid < 0) return result;
  int status = 0;
  if (!waitWithin(pid, timeout_, &status)) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    waitRetrying(pid, &status, 0);
    // The helper writes beside the target under this name, and had no chance to remove it.
    ::unlink((path + ".tmp-" + std::to_string(pid)).c_str());
    return result;
  }
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

}  // namespace diruri
