// A child process for tests and benchmarks: its standard streams on pipes or /dev/null, its output
// read line by line against a deadline, and killed and reaped when it goes.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace diruri::test {

// Where one of the child's standard streams goes.
enum class ChildStream { Pipe, Null, Inherit };

struct ChildOptions {
  // Variables to set (a value) or remove (nullopt) on top of this process's environment.
  std::map<std::string, std::optional<std::string>> environment;
  std::optional<std::string> workingDirectory;
  ChildStream in = ChildStream::Pipe;
  ChildStream out = ChildStream::Pipe;
  ChildStream err = ChildStream::Pipe;
  // A descriptor the child keeps under its number, even one that is close-on-exec here; -1: none.
  int inheritedFd = -1;
};

// Every stream on /dev/null.
inline ChildOptions quietChild() {
  ChildOptions options;
  options.in = options.out = options.err = ChildStream::Null;
  return options;
}

class ChildProcess {
 public:
  // Starts argv[0] (looked up in PATH when it holds no slash) with every signal at its default
  // action and none blocked, whatever this process does with them. Throws std::system_error when
  // it cannot be started.
  explicit ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {});
  // A child still running is killed and reaped; the pipes are closed.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Our end of the pipe on the child's descriptor 0, 1 or 2; -1 when that is no pipe or was closed.
  int pipeFd(int childFd) const { return fds_[childFd]; }
  void closePipe(int childFd);

  // Writes all of `bytes` to the child's stdin; false when it could not (the child is gone).
  bool write(std::string_view bytes);
  // The next line on the child's stdout, without its line feed; nullopt when no whole line came
  // before the limit or the stream ended first.
  std::optional<std::string> readLine(std::chrono::milliseconds limit);
  // Everything the child writes on that pipe until it closes it.
  std::string readToEnd(int childFd);

  // Waits for the end and returns the status as waitpid gives it (at once once reaped).
  int wait();
  // Sends the signal (with SIGCONT after it, so that a stopped child sees it too) and waits.
  int stop(int signal = SIGKILL);
  bool reaped() const { return status_.has_value(); }

 private:
  pid_t pid_ = -1;
  int fds_[3] = {-1, -1, -1};
  std::string pending_;  // stdout read past the last line handed out
  std::optional<int> status_;
};

// The processes whose parent is `parent`, zombies included.
std::vector<pid_t> childrenOf(pid_t parent);

// Sends the signal to a child that no ChildProcess owns (one reparented to this process, say),
// waits for it and sets `pid` to -1.
void reap(pid_t& pid, int sig);

// Runs the program with its streams on /dev/null and returns its wait status; -1 when it cannot
// be started.
int runQuietly(const std::vector<std::string>& argv);

}  // namespace diruri::test
