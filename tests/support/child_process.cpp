// posix_spawn with pipes, and poll against a deadline for the child's lines, so no test sleeps.
#include "tests/support/child_process.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "core/platform/sigpipe_guard.hpp"

extern char** environ;

namespace diruri::test {

namespace {

[[noreturn]] void fail(int err, const char* what) {
  throw std::system_error(err, std::generic_category(), what);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// This process's environment with the changes applied, as "NAME=value" strings.
std::vector<std::string> environmentWith(const std::map<std::string, std::optional<std::string>>& changes) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [name, value] : changes) {
    if (value)
      env[name] = *value;
    else
      env.erase(name);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
  if (argv.empty()) fail(EINVAL, "no program to start");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int childEnds[3] = {-1, -1, -1};
  const ChildStream streams[3] = {options.in, options.out, options.err};
  int err = 0;
  for (int n = 0; n < 3 && err == 0; ++n) {
    if (streams[n] == ChildStream::Null) {
      posix_spawn_file_actions_addopen(&actions, n, "/dev/null", n == 0 ? O_RDONLY : O_WRONLY, 0);
    } else if (streams[n] == ChildStream::Pipe) {
      int p[2];
      if (::pipe2(p, O_CLOEXEC) != 0) {
        err = errno;
        break;
      }
      // Our end is the write end of its stdin and the read end of its output.
      fds_[n] = n == 0 ? p[1] : p[0];
      childEnds[n] = n == 0 ? p[0] : p[1];
      posix_spawn_file_actions_adddup2(&actions, childEnds[n], n);
    }
  }
  // A dup2 onto the same number clears close-on-exec in the child only.
  if (options.inheritedFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, options.inheritedFd, options.inheritedFd);
  if (options.workingDirectory)
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory->c_str());

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child must not inherit what this process ignores or blocks (SIGPIPE above all): it has to
  // cope itself, as it would when started by a shell.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> args = argv;
  std::vector<char*> argp = pointersTo(args);
  std::vector<std::string> env;
  if (!options.environment.empty()) env = environmentWith(options.environment);
  std::vector<char*> envp = pointersTo(env);
  if (err == 0) {
    err = ::posix_spawnp(&pid_, argv[0].c_str(), &actions, &attr, argp.data(),
                         options.environment.empty() ? environ : envp.data());
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  for (int& fd : childEnds) closeFd(fd);
  if (err != 0) {
    pid_ = -1;
    for (int& fd : fds_) closeFd(fd);
    fail(err, ("cannot start " + argv[0]).c_str());
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) stop(SIGKILL);
  for (int& fd : fds_) closeFd(fd);
}

void ChildProcess::closePipe(int childFd) { closeFd(fds_[childFd]); }

bool ChildProcess::write(std::string_view bytes) {
  // A child that has gone makes the write fail with EPIPE instead of ending this process.
  SigpipeGuard guard;
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fds_[0], bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (const size_t lf = pending_.find('\n'); lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || fds_[1] < 0) return std::nullopt;
    pollfd p{fds_[1], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fds_[1], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::string ChildProcess::readToEnd(int childFd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; fds_[childFd] >= 0 && (n = ::read(fds_[childFd], buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

int ChildProcess::wait() {
  if (!status_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
  }
  return *status_;
}

int ChildProcess::stop(int signal) {
  if (!status_) {
    ::kill(pid_, signal);
    if (signal != SIGKILL) ::kill(pid_, SIGCONT);
  }
  return wait();
}

std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f) continue;
    char buf[512] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    // The name in parentheses may hold spaces; the state and the parent follow the last ')'.
    const char* close = std::strrchr(buf, ')');
    char state;
    int ppid;
    if (n > 0 && close && std::sscanf(close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
      children.push_back(pid);
    }
  }
  if (proc) closedir(proc);
  return children;
}

void reap(pid_t& pid, int sig) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
}

int runQuietly(const std::vector<std::string>& argv) {
  try {
    return ChildProcess(argv, quietChild()).wait();
  } catch (const std::system_error&) {
    return -1;
  }
}

}  // namespace diruri::test
