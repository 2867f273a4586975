// Process ids, from the kernel.
#include "core/platform/process.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace diruri {

int currentProcessId() { return static_cast<int>(::getpid()); }

bool processExists(int processId) {
  // Signal 0 checks without sending; EPERM means it exists but belongs to someone else.
  return processId > 0 && (::kill(processId, 0) == 0 || errno == EPERM);
}

}  // namespace diruri
