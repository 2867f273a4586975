// Blocking SIGPIPE around a write to a peer that may have gone away.
#include "core/platform/sigpipe_guard.hpp"

#include <pthread.h>

#include <ctime>

namespace diruri {

namespace {

sigset_t sigpipeSet() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGPIPE);
  return s;
}

}  // namespace

SigpipeGuard::SigpipeGuard() {
  const sigset_t pipe = sigpipeSet();
  pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  wasBlocked_ = sigismember(&old_, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard() {
  if (wasBlocked_) return;  // an outer guard (or the thread itself) takes care of it
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    const sigset_t pipe = sigpipeSet();
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

}  // namespace diruri
