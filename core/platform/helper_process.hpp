// Running one of the project's helper executables as a child process, bounded in time.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace diruri {

// The file `name` in the folder of the running executable (never one found through PATH); "" when
// that folder cannot be known.
std::string besideExecutable(const std::string& name);

// Whether the path is a regular file this process may execute.
bool isExecutableFile(const std::string& path);

struct HelperRun {
  bool succeeded = false;  // it exited with status 0
  bool timedOut = false;   // it was killed at the limit
  int processId = -1;      // -1 when it could not be started
};

// Runs `<helper> <arguments…>` with no shell, stdin, stdout and stderr on /dev/null, no other
// inherited descriptor, signals at their defaults and none blocked, in a process group of its own,
// and waits for it at most `limit`; one still running then is killed with anything it started.
// The child is always reaped. Blocks the caller; safe from any thread.
HelperRun runHelper(const std::string& helper, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit);

}  // namespace diruri
