// Runs a child to its end over ChildProcess, driven by poll on the pipes and a pidfd so that no
// sleeping is needed.
#include "tests/support/process_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/platform/sigpipe_guard.hpp"
#include "tests/support/child_process.hpp"

namespace diruri::test {

namespace {

// Reads what is there; closes our end when the child closed its own.
void drain(ChildProcess& child, int childFd, std::string& into) {
  char buf[65536];
  const ssize_t n = ::read(child.pipeFd(childFd), buf, sizeof buf);
  if (n > 0)
    into.append(buf, static_cast<size_t>(n));
  else if (n == 0 || (errno != EINTR && errno != EAGAIN))
    child.closePipe(childFd);
}

}  // namespace

ProcessResult runProcess(const std::string& executable, const ProcessOptions& options) {
  // Our writes to a child that has exited must fail with EPIPE instead of ending the test.
  SigpipeGuard guard;
  std::vector<std::string> argv{executable};
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  ChildOptions childOptions;
  childOptions.environment = options.environment;
  childOptions.workingDirectory = options.workingDirectory;
  ChildProcess child(argv, childOptions);

  const int in = STDIN_FILENO, out = STDOUT_FILENO, err = STDERR_FILENO;
  ::fcntl(child.pipeFd(in), F_SETFL, O_NONBLOCK);
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid(), 0));

  ProcessResult result;
  size_t written = 0;
  if (options.stdinData.empty() && !options.keepStdinOpen) child.closePipe(in);
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;

  while (child.pipeFd(out) >= 0 || child.pipeFd(err) >= 0 || (pidfd >= 0 && !child.reaped())) {
    pollfd fds[4];
    int n = 0;
    int inIdx = -1, outIdx = -1, errIdx = -1, pidIdx = -1;
    if (child.pipeFd(in) >= 0 && written < options.stdinData.size()) {
      inIdx = n;
      fds[n++] = {child.pipeFd(in), POLLOUT, 0};
    }
    if (child.pipeFd(out) >= 0) {
      outIdx = n;
      fds[n++] = {child.pipeFd(out), POLLIN, 0};
    }
    if (child.pipeFd(err) >= 0) {
      errIdx = n;
      fds[n++] = {child.pipeFd(err), POLLIN, 0};
    }
    if (pidfd >= 0 && !child.reaped()) {
      pidIdx = n;
      fds[n++] = {pidfd, POLLIN, 0};
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      child.stop(SIGKILL);
      break;
    }
    const int ready = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    if (inIdx >= 0 && fds[inIdx].revents) {
      const ssize_t w =
          ::write(child.pipeFd(in), options.stdinData.data() + written, options.stdinData.size() - written);
      if (w > 0)
        written += static_cast<size_t>(w);
      else if (w < 0 && errno != EAGAIN && errno != EINTR)
        child.closePipe(in);  // EPIPE: child is gone
      if (child.pipeFd(in) >= 0 && written == options.stdinData.size() && !options.keepStdinOpen) {
        child.closePipe(in);
      }
    }
    if (outIdx >= 0 && fds[outIdx].revents) {
      drain(child, out, result.out);
      if (options.closeStdoutAfter && result.out.size() >= *options.closeStdoutAfter) child.closePipe(out);
    }
    if (errIdx >= 0 && fds[errIdx].revents) drain(child, err, result.err);
    if (pidIdx >= 0 && fds[pidIdx].revents) {
      // Exited; keep draining what is still in the pipes, but do not wait on writers it left behind.
      child.wait();
      child.closePipe(in);
    }
  }
  if (pidfd >= 0) ::close(pidfd);
  const int status = child.wait();
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace diruri::test
