// Entry point: picks the mode from the arguments and runs the line loop between the pipes and the server.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "core/mcp/mcp_server.hpp"
#include "core/text/unicode.hpp"

namespace {

constexpr char kVersionLine[] = "DiruriRediro " DIRURI_VERSION "\n";
constexpr char kUsageLine[] = "Usage: DiruriRediro [event-stream] mcp\n";

// Hands all bytes to the descriptor, retrying interrupted and short writes. A reader that went
// away ends the process quietly; nothing can be reported anywhere else.
void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::_exit(errno == EPIPE ? 0 : 1);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// Answers go out from the loop and, for a replay running in the background, from its thread: each
// line in one write, and never two writes at once, so lines cannot interleave however long they are.
class Output {
 public:
  void write(std::string line) {
    line.push_back('\n');
    std::lock_guard<std::mutex> lock(mutex_);
    writeAll(STDOUT_FILENO, line.data(), line.size());
  }

 private:
  std::mutex mutex_;
};

class LineLoop {
 public:
  LineLoop() {
    server_.answerInBackground([this](std::string line) { output_.write(std::move(line)); });
  }

  // Exits the process when standard input ends; never returns.
  [[noreturn]] void run() {
    std::string partial;  // bytes of a line whose end has not arrived yet
    static char buffer[1 << 16];
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      const char* p = buffer;
      const char* const end = buffer + n;
      while (const void* found = std::memchr(p, '\n', static_cast<size_t>(end - p))) {
        const char* lf = static_cast<const char*>(found);
        if (partial.empty()) {
          handle(std::string_view(p, static_cast<size_t>(lf - p)), true);
        } else {
          partial.append(p, lf);
          handle(partial, true);
          partial.clear();
        }
        p = lf + 1;
      }
      partial.append(p, end);
    }
    if (!partial.empty()) handle(partial, false);
    // A replay still running is stopped first, so that it leaves no key pressed and its run
    // recorded; then exit at once: nothing else is torn down, and nothing is left buffered.
    server_.finishBackgroundWork();
    ::_exit(0);
  }

 private:
  void handle(std::string_view line, bool endedWithLineFeed) {
    if (endedWithLineFeed && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string answer;
    if (diruri::isValidUtf8(line)) {
      answer = server_.handleLine(line);
    } else {
      answer = server_.handleLine(diruri::sanitizeUtf8(line));
    }
    if (!answer.empty()) output_.write(std::move(answer));
  }

  Output output_;
  diruri::McpServer server_;
};

}  // namespace

int main(int argc, char** argv) {
  // An empty argument vector stays empty.
  const size_t count = argc > 0 ? static_cast<size_t>(argc) - 1 : 0;
  const auto is = [&](std::initializer_list<std::string_view> expected) {
    if (count != expected.size()) return false;
    int i = 1;
    for (std::string_view e : expected) {
      if (e != argv[i++]) return false;
    }
    return true;
  };
  if (is({"--version"})) {
    std::fputs(kVersionLine, stdout);
    return 0;
  }
  if (!is({"mcp"}) && !is({"event-stream", "mcp"})) {
    writeAll(STDERR_FILENO, kUsageLine, sizeof kUsageLine - 1);
    return 1;
  }
  // A closed stdout must show up as EPIPE from write, not as a signal that kills the process.
  ::signal(SIGPIPE, SIG_IGN);
  LineLoop loop;
  loop.run();
}
