// Runs an executable as a child with given stdin bytes and captures everything it leaves behind.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace diruri::test {

struct ProcessOptions {
  std::vector<std::string> args;  // after the program name
  std::string stdinData;
  // Keep stdin open (after writing stdinData) until the child exits, instead of closing it.
  bool keepStdinOpen = false;
  std::optional<std::string> workingDirectory;
  // Variables to set (a value) or remove (nullopt) on top of this process's environment.
  std::map<std::string, std::optional<std::string>> environment;
  // Close our end of the child's stdout once this many bytes have arrived.
  std::optional<std::size_t> closeStdoutAfter;
  std::chrono::milliseconds timeout{30000};
};

struct ProcessResult {
  std::string out;
  std::string err;
  int exitStatus = -1;  // valid when exited
  int signal = 0;       // the terminating signal, 0 when it exited
  bool exited = false;
  bool timedOut = false;  // killed with SIGKILL at the timeout
};

// Starts `executable` as a ChildProcess (signals at their defaults, none blocked), feeds stdin,
// drains stdout and stderr, and waits for the end. Throws std::system_error when it cannot start.
ProcessResult runProcess(const std::string& executable, const ProcessOptions& options);

}  // namespace diruri::test
