// Keeps a write to a peer that went away (an X server, a bus, a compositor) from ending the process
// with SIGPIPE.
#pragma once

#include <signal.h>

namespace diruri {

// The X library writes with writev, which raises SIGPIPE when the server has gone. For the guard's
// lifetime SIGPIPE is blocked on this thread; a SIGPIPE raised meanwhile is consumed before the
// old mask comes back, so the failed write shows only as a connection error.
class SigpipeGuard {
 public:
  SigpipeGuard();
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t old_;
  bool wasBlocked_ = false;
};

}  // namespace diruri
