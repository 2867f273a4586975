// Standard output and error diverted into a memory file and read back.
#include "tests/support/captured_output.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace diruri::test {

CapturedOutput::CapturedOutput() {
  std::fflush(stdout);
  std::fflush(stderr);
  capture_ = ::memfd_create("captured-output", MFD_CLOEXEC);
  if (capture_ < 0) throw std::runtime_error("memfd_create failed");
  savedOut_ = ::dup(1);
  savedErr_ = ::dup(2);
  ::dup2(capture_, 1);
  ::dup2(capture_, 2);
}

std::string CapturedOutput::text() {
  if (capture_ >= 0) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut_, 1);
    ::dup2(savedErr_, 2);
    ::close(savedOut_);
    ::close(savedErr_);
    char buf[4096];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(capture_, buf, sizeof buf, at);
      if (n <= 0) break;
      captured_.append(buf, static_cast<size_t>(n));
      at += n;
    }
    ::close(capture_);
    capture_ = -1;
  }
  return captured_;
}

}  // namespace diruri::test
