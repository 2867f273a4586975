// The stdio framing over poll(): input, a signal descriptor and a wake-up for a closed output.
#include "core/platform/line_transport.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstring>

#include "core/text/unicode.hpp"

namespace diruri {

LineTransport::LineTransport(int input, int output, int signals)
    : input_(input), output_(output), signals_(signals), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LineTransport::~LineTransport() {
  if (wake_ >= 0) ::close(wake_);
}

void LineTransport::write(std::string line) {
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (outputClosed_) return;
  const char* data = line.data();
  size_t size = line.size();
  while (size > 0) {
    const ssize_t n = ::write(output_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The reader went away (or the output failed): nothing can be said anywhere else, and the
      // loop ends as at the end of input, so that a replay is stopped and its keys released.
      outputClosed_ = true;
      const uint64_t one = 1;
      if (wake_ >= 0) (void)!::write(wake_, &one, sizeof one);
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

LineTransport::End LineTransport::run(const std::function<std::string(std::string_view)>& answer) {
  std::string partial;  // bytes of a line whose end has not arrived yet
  std::string bytes(1 << 16, '\0');
  char* const buffer = bytes.data();
  for (;;) {
    if (outputClosed_) return End::kOutputClosed;
    pollfd fds[3] = {{input_, POLLIN, 0}, {wake_, POLLIN, 0}, {signals_, POLLIN, 0}};
    const nfds_t count = signals_ >= 0 ? 3 : 2;
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (count == 3 && (fds[2].revents & POLLIN)) {
      signalfd_siginfo info{};
      if (::read(signals_, &info, sizeof info) == sizeof info) {
        signal_ = static_cast<int>(info.ssi_signo);
        return End::kSignal;
      }
    }
    if (fds[1].revents & POLLIN) return End::kOutputClosed;
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = ::read(input_, buffer, bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const char* p = buffer;
    const char* const end = buffer + n;
    while (const void* found = std::memchr(p, '\n', static_cast<size_t>(end - p))) {
      const char* lf = static_cast<const char*>(found);
      if (partial.empty()) {
        handle(std::string_view(p, static_cast<size_t>(lf - p)), true, answer);
      } else {
        partial.append(p, lf);
        handle(partial, true, answer);
        partial.clear();
      }
      p = lf + 1;
      if (outputClosed_) return End::kOutputClosed;
    }
    partial.append(p, end);
  }
  if (!partial.empty()) handle(partial, false, answer);
  return outputClosed_ ? End::kOutputClosed : End::kInputEnded;
}

void LineTransport::handle(std::string_view line, bool endedWithLineFeed,
                           const std::function<std::string(std::string_view)>& answer) {
  if (endedWithLineFeed && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string reply = isValidUtf8(line) ? answer(line) : answer(sanitizeUtf8(line));
  if (!reply.empty()) write(std::move(reply));
}

}  // namespace diruri
