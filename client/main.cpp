// Entry point: picks the mode from the arguments and runs the line loop between the pipes and the server.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "core/mcp/mcp_server.hpp"
#include "core/platform/line_transport.hpp"

namespace {

constexpr char kVersionLine[] = "DiruriRediro " DIRURI_VERSION "\n";
constexpr char kUsageLine[] = "Usage: DiruriRediro [event-stream] mcp\n";

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
    (void)!::write(STDERR_FILENO, kUsageLine, sizeof kUsageLine - 1);
    return 1;
  }
  // The signals clients end a server with are taken by the loop, as the end of input is: blocked
  // here, before any thread exists, so that every thread leaves them to it (children get their
  // own mask back when they are started).
  sigset_t ending;
  sigemptyset(&ending);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, sig);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  const int signals = ::signalfd(-1, &ending, SFD_CLOEXEC);
  // A closed stdout must show up as EPIPE from write, not as a signal that kills the process.
  ::signal(SIGPIPE, SIG_IGN);

  diruri::LineTransport transport(STDIN_FILENO, STDOUT_FILENO, signals);
  diruri::McpServer server;
  server.answerInBackground([&transport](std::string line) { transport.write(std::move(line)); });
  const diruri::LineTransport::End end =
      transport.run([&server](std::string_view line) { return server.handleLine(line); });
  // A replay still running is stopped first, so that it leaves no key pressed and its run
  // recorded; then exit at once: nothing else is torn down, and nothing is left buffered.
  server.finishBackgroundWork();
  if (end == diruri::LineTransport::End::kSignal) {
    // Ended as the signal would have ended it, for whoever waits on the process.
    const int sig = transport.signal();
    ::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::raise(sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  }
  ::_exit(0);
}
