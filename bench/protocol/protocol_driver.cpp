// Drives the server and the minimal echo through pipes and prints throughput, latency, start-up and
// memory figures, ours as ratios to the echo's.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/child_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(2);
}

// Changes to the environment the children run in (nullopt removes a variable).
using Environment = std::map<std::string, std::optional<std::string>>;

// The child's stdin and stdout on pipes; its stderr stays ours, so that its complaints are seen.
std::unique_ptr<diruri::test::ChildProcess> spawn(const std::vector<std::string>& command,
                                                  const Environment& environment = {}) {
  diruri::test::ChildOptions options;
  options.err = diruri::test::ChildStream::Inherit;
  options.environment = environment;
  try {
    return std::make_unique<diruri::test::ChildProcess>(command, options);
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    std::exit(2);
  }
}

// Closes its stdin, drains its stdout and waits for a clean exit.
void finish(diruri::test::ChildProcess& c) {
  c.closePipe(STDIN_FILENO);
  c.readToEnd(STDOUT_FILENO);
  const int status = c.wait();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "child %s\n", WIFEXITED(status) ? "failed" : "was killed");
    std::exit(2);
  }
}

void writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      die("write");
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

size_t countLineFeeds(const char* p, size_t n) {
  size_t count = 0;
  const char* const end = p + n;
  while (const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p))) {
    ++count;
    p = static_cast<const char*>(lf) + 1;
  }
  return count;
}

// The child's own peak resident set in KiB, read while it runs. (The rusage of a spawned child
// also counts the pages of this process that it shared until exec.)
long peakRssKiB(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) die("open /proc status");
  char line[256];
  long kib = 0;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

// Reads until `lines` line feeds have arrived.
void readLines(int fd, size_t lines) {
  char buf[65536];
  while (lines > 0) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("read: answer missing");
    lines -= countLineFeeds(buf, static_cast<size_t>(n));
  }
}

struct Request {
  std::string line;
  bool answered;
};

// The mix: tools/list, initialize, unknown methods and notifications in turn.
std::vector<Request> requestMix(size_t count) {
  std::vector<Request> mix;
  for (size_t i = 0; i < count; ++i) {
    const std::string id = std::to_string(i + 1);
    switch (i % 4) {
      case 0:
        mix.push_back({R"({"jsonrpc":"2.0","id":)" + id +
                           R"(,"method":"tools/list"})"
                           "\n",
                       true});
        break;
      case 1:
        mix.push_back(
            {R"({"jsonrpc":"2.0","id":)" + id +
                 R"(,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})"
                 "\n",
             true});
        break;
      case 2:
        mix.push_back({R"({"jsonrpc":"2.0","id":)" + id +
                           R"(,"method":"resources/list"})"
                           "\n",
                       true});
        break;
      default:
        mix.push_back({R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                       "\n",
                       false});
    }
  }
  return mix;
}

// The calls an agent makes over and over: the two status tools, the tool list and ping, in turn.
std::vector<Request> toolCallMix(size_t count) {
  static const char* const kCalls[] = {
      R"("method":"tools/call","params":{"name":"event_stream_status","arguments":{}}})",
      R"("method":"tools/call","params":{"name":"permission_status","arguments":{}}})",
      R"("method":"tools/list"})",
      R"("method":"ping"})",
  };
  std::vector<Request> mix;
  for (size_t i = 0; i < count; ++i) {
    mix.push_back({R"({"jsonrpc":"2.0","id":)" + std::to_string(i + 1) + "," + kCalls[i % 4] + "\n", true});
  }
  return mix;
}

struct Figures {
  double linesPerSecond = 0;
  double medianRoundTripUs = 0;
  double p99RoundTripUs = 0;
  double medianSpawnUs = 0;
  long peakRssKiB = 0;
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  return v[i];
}

// Writes everything while draining answers, so that neither side blocks on a full pipe.
double piped(const std::vector<std::string>& command, const std::vector<Request>& mix, bool echo, long& rss,
             const Environment& environment = {}) {
  std::string input;
  size_t expected = 0;
  for (const Request& r : mix) {
    input += r.line;
    expected += (echo || r.answered) ? 1 : 0;
  }
  const auto c = spawn(command, environment);
  const int in = c->pipeFd(STDIN_FILENO), out = c->pipeFd(STDOUT_FILENO);
  ::fcntl(in, F_SETFL, O_NONBLOCK);
  size_t written = 0;
  char buf[65536];
  const Clock::time_point start = Clock::now();
  while (expected > 0) {
    pollfd fds[2] = {{out, POLLIN, 0}, {in, POLLOUT, 0}};
    const nfds_t n = written < input.size() ? 2 : 1;
    if (::poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      die("poll");
    }
    if (n == 2 && (fds[1].revents & POLLOUT)) {
      const ssize_t w = ::write(in, input.data() + written, input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
    }
    if (fds[0].revents) {
      const ssize_t r = ::read(out, buf, sizeof buf);
      if (r <= 0) die("read: answers missing");
      expected -= countLineFeeds(buf, static_cast<size_t>(r));
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  rss = std::max(rss, peakRssKiB(c->pid()));
  finish(*c);
  return static_cast<double>(mix.size()) / seconds;
}

Figures measure(const std::vector<std::string>& command, bool echo, size_t lines, size_t roundTrips,
                size_t spawns) {
  Figures f;
  const std::vector<Request> mix = requestMix(lines);
  // Best of three piped runs, to keep scheduler noise out of the ratio.
  for (int run = 0; run < 3; ++run) {
    f.linesPerSecond = std::max(f.linesPerSecond, piped(command, mix, echo, f.peakRssKiB));
  }

  {
    const auto c = spawn(command);
    std::vector<double> latencies;
    size_t sent = 0;
    for (size_t i = 0; latencies.size() < roundTrips; ++i) {
      const Request& r = mix[i % mix.size()];
      if (!r.answered) continue;
      const Clock::time_point t0 = Clock::now();
      writeAll(c->pipeFd(STDIN_FILENO), r.line.data(), r.line.size());
      readLines(c->pipeFd(STDOUT_FILENO), 1);
      // The first answers warm the caches of both processes; keep them out of the figures.
      if (++sent > 100) latencies.push_back(micros(Clock::now() - t0));
    }
    f.medianRoundTripUs = percentile(latencies, 0.5);
    f.p99RoundTripUs = percentile(latencies, 0.99);
    f.peakRssKiB = std::max(f.peakRssKiB, peakRssKiB(c->pid()));
    finish(*c);
  }

  {
    const std::string initialize = mix[1].line;
    std::vector<double> starts;
    for (size_t i = 0; i < spawns; ++i) {
      const Clock::time_point t0 = Clock::now();
      const auto c = spawn(command);
      writeAll(c->pipeFd(STDIN_FILENO), initialize.data(), initialize.size());
      readLines(c->pipeFd(STDOUT_FILENO), 1);
      starts.push_back(micros(Clock::now() - t0));
      f.peakRssKiB = std::max(f.peakRssKiB, peakRssKiB(c->pid()));
      finish(*c);
    }
    f.medianSpawnUs = percentile(starts, 0.5);
  }
  return f;
}

// The tool-call mix: best piped rate of three runs, and the median of single round trips.
std::pair<double, double> measureToolCalls(const std::string& server, const Environment& environment) {
  const std::vector<Request> mix = toolCallMix(20000);
  long rss = 0;
  double linesPerSecond = 0;
  for (int run = 0; run < 3; ++run) {
    linesPerSecond = std::max(linesPerSecond, piped({server, "mcp"}, mix, false, rss, environment));
  }
  const auto c = spawn({server, "mcp"}, environment);
  std::vector<double> latencies;
  for (size_t i = 0; latencies.size() < 4000; ++i) {
    const Request& r = mix[i % mix.size()];
    const Clock::time_point t0 = Clock::now();
    writeAll(c->pipeFd(STDIN_FILENO), r.line.data(), r.line.size());
    readLines(c->pipeFd(STDOUT_FILENO), 1);
    if (i >= 100) latencies.push_back(micros(Clock::now() - t0));
  }
  finish(*c);
  return {linesPerSecond, percentile(latencies, 0.5)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SERVER ECHO [LINES [ROUND_TRIPS [SPAWNS]]]\n", argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const size_t lines = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 20000;
  const size_t roundTrips = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 5000;
  const size_t spawns = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 50;

  const Figures server = measure({argv[1], "mcp"}, false, lines, roundTrips, spawns);
  const Figures echo = measure({argv[2]}, true, lines, roundTrips, spawns);

  std::printf("%-34s %14s %14s %10s\n", "", "server", "echo", "ratio");
  std::printf("%-34s %14.0f %14.0f %9.2fx\n", "piped lines/s (20k mix)", server.linesPerSecond,
              echo.linesPerSecond, server.linesPerSecond / echo.linesPerSecond);
  std::printf("%-34s %14.1f %14.1f %9.2fx\n", "round trip median (us)", server.medianRoundTripUs,
              echo.medianRoundTripUs, server.medianRoundTripUs / echo.medianRoundTripUs);
  std::printf("%-34s %14.1f %14.1f %9.2fx\n", "round trip p99 (us)", server.p99RoundTripUs,
              echo.p99RoundTripUs, server.p99RoundTripUs / echo.p99RoundTripUs);
  std::printf("%-34s %14.0f %14.0f %9.2fx\n", "spawn to first answer median (us)", server.medianSpawnUs,
              echo.medianSpawnUs, server.medianSpawnUs / echo.medianSpawnUs);
  std::printf("%-34s %14.2f %14.2f %9.2fx\n", "peak RSS (MiB)", server.peakRssKiB / 1024.0,
              echo.peakRssKiB / 1024.0,
              static_cast<double>(server.peakRssKiB) / static_cast<double>(echo.peakRssKiB));

  // Status calls cost what the display costs: measured without one, and with the one that
  // DIRURI_BENCH_DISPLAY names (run.sh starts an Xvfb for it).
  std::vector<std::pair<std::string, Environment>> displays = {{"no display", {{"DISPLAY", std::nullopt}}}};
  if (const char* display = std::getenv("DIRURI_BENCH_DISPLAY")) {
    displays.push_back({std::string("display ") + display, {{"DISPLAY", std::string(display)}}});
  }
  for (const auto& [name, environment] : displays) {
    const auto [rate, median] = measureToolCalls(argv[1], environment);
    std::printf("%-34s %14.0f\n", ("tool-call mix lines/s, " + name).c_str(), rate);
    std::printf("%-34s %14.1f\n", ("tool-call round trip median (us), " + name).c_str(), median);
  }

  struct Target {
    const char* name;
    bool met;
  };
  const Target targets[] = {
      {"piped throughput >= 50% of echo", server.linesPerSecond >= 0.5 * echo.linesPerSecond},
      {"round trip median <= 1.5x echo", server.medianRoundTripUs <= 1.5 * echo.medianRoundTripUs},
      {"spawn to first answer < 5 ms", server.medianSpawnUs < 5000},
      {"peak RSS < 8 MiB", server.peakRssKiB < 8 * 1024},
  };
  bool all = true;
  for (const Target& t : targets) {
    std::printf("%-40s %s\n", t.name, t.met ? "met" : "MISSED");
    all = all && t.met;
  }
  return all ? 0 : 1;
}
