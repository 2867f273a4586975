// posix_spawn with pipes, driven by poll on the pipes and a pidfd so that no sleeping is needed.
#include "tests/support/process_runner.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>

extern char** environ;

namespace diruri::test {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
  return {fds[0], fds[1]};
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::vector<std::string> buildEnvironment(const ProcessOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [name, value] : options.environment) {
    if (value) env[name] = *value;
    else env.erase(name);
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

void drain(int& fd, std::string& into) {
  char buf[65536];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n > 0) into.append(buf, static_cast<size_t>(n));
  else if (n == 0 || (errno != EINTR && errno != EAGAIN)) closeFd(fd);
}

}  // namespace

ProcessResult runProcess(const std::string& executable, const ProcessOptions& options) {
  // Our writes to a child that has exited must fail with EPIPE instead of killing the test.
  static const bool ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignored;

  Pipe in = makePipe(), out = makePipe(), err = makePipe();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
  if (options.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory->c_str());
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child must not inherit our ignored SIGPIPE or any blocked signal: it has to cope itself.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> argStrings{executable};
  argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = buildEnvironment(options);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, executable.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  closeFd(in.read);
  closeFd(out.write);
  closeFd(err.write);
  if (rc != 0) {
    closeFd(in.write);
    closeFd(out.read);
    closeFd(err.read);
    errno = rc;
    fail("posix_spawn");
  }

  ::fcntl(in.write, F_SETFL, O_NONBLOCK);
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));

  ProcessResult result;
  size_t written = 0;
  if (options.stdinData.empty() && !options.keepStdinOpen) closeFd(in.write);
  bool reaped = false;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;

  while (out.read >= 0 || err.read >= 0 || (pidfd >= 0 && !reaped)) {
    pollfd fds[4];
    int n = 0;
    int inIdx = -1, outIdx = -1, errIdx = -1, pidIdx = -1;
    if (in.write >= 0 && written < options.stdinData.size()) {
      inIdx = n;
      fds[n++] = {in.write, POLLOUT, 0};
    }
    if (out.read >= 0) {
      outIdx = n;
      fds[n++] = {out.read, POLLIN, 0};
    }
    if (err.read >= 0) {
      errIdx = n;
      fds[n++] = {err.read, POLLIN, 0};
    }
    if (pidfd >= 0 && !reaped) {
      pidIdx = n;
      fds[n++] = {pidfd, POLLIN, 0};
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    const int ready = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    if (inIdx >= 0 && fds[inIdx].revents) {
      const ssize_t w = ::write(in.write, options.stdinData.data() + written,
                                options.stdinData.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      else if (w < 0 && errno != EAGAIN && errno != EINTR) closeFd(in.write);  // EPIPE: child is gone
      if (in.write >= 0 && written == options.stdinData.size() && !options.keepStdinOpen) {
        closeFd(in.write);
      }
    }
    if (outIdx >= 0 && fds[outIdx].revents) {
      drain(out.read, result.out);
      if (options.closeStdoutAfter && result.out.size() >= *options.closeStdoutAfter) closeFd(out.read);
    }
    if (errIdx >= 0 && fds[errIdx].revents) drain(err.read, result.err);
    if (pidIdx >= 0 && fds[pidIdx].revents) {
      // Exited; keep draining what is still in the pipes, but do not wait on writers it left behind.
      reaped = ::waitpid(pid, &status, 0) == pid;
      closeFd(in.write);
    }
  }
  closeFd(in.write);
  closeFd(out.read);
  closeFd(err.read);
  if (pidfd >= 0) ::close(pidfd);
  if (!reaped) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace diruri::test
