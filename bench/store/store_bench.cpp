// Store costs: one appended input event against a bare open/write/close, and stopping a long session.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/mcp/mcp_server.hpp"
#include "core/recorder/recorder_controller.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/event_store.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/server_parts.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

RecordingEvent typicalInputEvent(const RecordingSession& session, int n) {
  char id[16];
  std::snprintf(id, sizeof id, "evt_%06d", n % 1000000);
  RecordingEvent e;
  e.id = id;
  e.ts = "2025-01-31T12:34:58Z";
  e.monotonicMs = 86402007 + n;
  e.type = n % 2 ? "mouse_up" : "mouse_down";
  e.payload.sessionId = session.sessionId;
  e.payload.app = ForegroundAppSnapshot{"org.example.Editor", "Editor", 812, "Untitled - Notes"};
  e.payload.x = 640.5;
  e.payload.y = 412;
  return e;
}

bool plainAppend(const std::string& path, const std::string& line) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  const bool ok = fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  return ok;
}

// The limit: the same bytes appended by a bare open, write and close.
void BM_PlainOpenWriteClose(benchmark::State& state) {
  test::TempDir scratch;
  EventStore store(test::realFileSystem());
  const RecordingSession session = store.createSession(scratch.path(), "Bench");
  const std::string line = writeJson(typicalInputEvent(session, 1).toJson()) + "\n";
  // Beside the real log, so the path lookup costs the same.
  const std::string path = session.sessionPath + "/plain.jsonl";
  ::close(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  for (auto _ : state) {
    if (!plainAppend(path, line)) state.SkipWithError("plain append failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}

// appendEvent of a typical input event with "app".
void BM_AppendEvent(benchmark::State& state) {
  test::TempDir scratch;
  EventStore store(test::realFileSystem());
  const RecordingSession session = store.createSession(scratch.path(), "Bench");
  const RecordingEvent event = typicalInputEvent(session, 1);
  for (auto _ : state) store.appendEvent(event, session);
}

// The ratio appendEvent / bare append, robust to a busy machine: each iteration times a batch of
// each, back to back, and the ratio of the fastest batches is reported as "ratio".
void BM_AppendEventOverPlain(benchmark::State& state) {
  constexpr int kBatch = 500;
  test::TempDir scratch;
  EventStore store(test::realFileSystem());
  const RecordingSession session = store.createSession(scratch.path(), "Bench");
  const RecordingEvent event = typicalInputEvent(session, 1);
  const std::string line = writeJson(event.toJson()) + "\n";
  const std::string plainPath = session.sessionPath + "/plain.jsonl";
  ::close(::open(plainPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  double bestPlain = 1e300, bestStore = 1e300;
  const auto nanos = [](auto from) {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - from).count();
  };
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) plainAppend(plainPath, line);
    bestPlain = std::min(bestPlain, nanos(start) / kBatch);
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) store.appendEvent(event, session);
    bestStore = std::min(bestStore, nanos(start) / kBatch);
  }
  state.counters["plain_ns"] = bestPlain;
  state.counters["appendEvent_ns"] = bestStore;
  state.counters["ratio"] = bestStore / bestPlain;
}

// A session whose log holds `lines` lines, written in chunks so the writer keeps no copy of it.
RecordingSession sessionWithLog(EventStore& store, const std::string& workspace, int lines) {
  const RecordingSession session = store.createSession(workspace, "Long Session");
  std::string chunk;
  for (int i = 1; i < lines; ++i) {
    RecordingEvent e = typicalInputEvent(session, i);
    if (i % 50 == 0) e.payload.app->windowTitle = "Document " + std::to_string(i % 700);
    chunk += writeJson(e.toJson());
    chunk += '\n';
    if (chunk.size() > (1 << 20) || i + 1 == lines) {
      test::realFileSystem().appendToFile(session.sessionPath + "/events.jsonl", chunk);
      chunk.clear();
    }
  }
  return session;
}

// stopSession of a 100,000-line session: wall time per stop, and in "peak_rss_MiB" the peak
// resident memory of a child process that does one stop and nothing else.
void BM_StopSession100k(benchmark::State& state) {
  test::TempDir scratch;
  EventStore store(test::realFileSystem());
  const RecordingSession session = sessionWithLog(store, scratch.path(), 100000);
  state.counters["log_MiB"] =
      static_cast<double>(std::filesystem::file_size(session.sessionPath + "/events.jsonl")) / (1 << 20);

  for (auto _ : state) store.stopSession(session);

  // A fresh process, so the figure is the stop's own peak and not this process's high-water mark.
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::execl("/proc/self/exe", "bench_store", "--stop-once", session.workspacePath.c_str(),
            session.sessionId.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  char buffer[64] = {};
  const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer - 1);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    state.SkipWithError("child stop failed");
    return;
  }
  long startKib = 0, peakKib = 0, millis = 0;
  std::sscanf(buffer, "%ld %ld %ld", &startKib, &peakKib, &millis);
  state.counters["child_rss_at_start_MiB"] = static_cast<double>(startKib) / 1024;
  state.counters["child_peak_rss_MiB"] = static_cast<double>(peakKib) / 1024;
  state.counters["child_stop_ms"] = static_cast<double>(millis);
}

// Peak resident memory of this process image in KiB (VmHWM; unlike ru_maxrss it does not carry
// the parent's high-water mark over fork and exec).
long peakResidentKib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return -1;
  char text[256];
  long kib = -1;
  while (std::fgets(text, sizeof text, status)) {
    if (std::sscanf(text, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

// The child's part: load the session, stop it once, print peak RSS in KiB (before and after the
// stop) and the stop's wall time in milliseconds.
int stopOnce(const char* workspace, const char* sessionId) {
  EventStore store(test::realFileSystem());
  const RecordingSession session = store.loadSession(workspace, sessionId);
  const long before = peakResidentKib();
  const auto start = std::chrono::steady_clock::now();
  store.stopSession(session);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  std::printf("%ld %ld %ld\n", before, peakResidentKib(), static_cast<long>(millis.count()));
  return 0;
}

// --- A recording of a million events: what generating, replaying and stopping it cost ---
// Each case runs in a process of its own (`--million-case`), so its peak resident memory is its
// own; `--million <folder>` makes the recording there and runs every case.

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A poster that reaches no display, or one that posts into nothing.
class BenchPoster final : public EventPoster {
 public:
  explicit BenchPoster(bool reachable) : reachable_(reachable) {}
  bool begin() override { return reachable_; }
  PostResult postMouse(double, double, bool, int64_t) override { return PostResult::Posted; }
  PostResult postMove(double, double) override { return PostResult::Posted; }
  PostResult postKey(int64_t, std::optional<int64_t>, bool) override { return PostResult::Posted; }
  PostResult postScroll(int64_t, bool) override { return PostResult::Posted; }
  void sync() override {}
  void end() override {}

 private:
  bool reachable_;
};

int millionCase(const std::string& which, const std::string& workspace, const std::string& sessionId) {
  EventStore store(test::realFileSystem());
  test::FakeTap tap;
  test::FakeScreenCapture screen;
  test::FakeInspector inspector;
  inspector.front = ForegroundAppSnapshot{std::nullopt, "Another application", 99, std::nullopt};
  BenchPoster poster(which != "replay-no-display");
  test::ServerParts parts(store, tap, screen, inspector, poster, workspace + "/store");
  const auto start = std::chrono::steady_clock::now();
  std::string note;
  if (which == "generate") {
    note =
        std::to_string(parts.skills.generate(workspace, sessionId, std::string("million")).steps) + " steps";
  } else if (which == "replay-no-display") {
    try {
      parts.replays.replay(workspace, "million");
    } catch (const std::exception& e) {
      note = "failed at once, as it should";
    }
  } else if (which == "replay-window-never-comes") {
    note = "status " + parts.replays.replay(workspace, "million").status;
  } else if (which.starts_with("stop")) {
    // In the background, as the server runs it: stopped while it reads the recording, or while its
    // first step waits for its window.
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<std::chrono::steady_clock::time_point> replayAnsweredAt;
    size_t answerBytes = 0;
    McpServer server(parts.services());
    server.answerInBackground([&](std::string line) {
      std::lock_guard lock(mutex);
      if (line.find("\"id\":1,") != std::string::npos) {
        replayAnsweredAt = std::chrono::steady_clock::now();
        answerBytes = line.size();
      }
      answered.notify_all();
    });
    const std::string call =
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"replay_skill","arguments":{"workspacePath":")" +
        workspace + R"(","skillId":"million"}}})";
    server.handleLine(call);
    std::this_thread::sleep_for(std::chrono::seconds(which == "stop-while-reading" ? 1 : 5));
    const auto stopAt = std::chrono::steady_clock::now();
    server.handleLine(R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"replay_stop"}})");
    const double stopAnswer = secondsSince(stopAt);
    const auto pingAt = std::chrono::steady_clock::now();
    server.handleLine(R"({"jsonrpc":"2.0","id":3,"method":"ping"})");
    const double ping = secondsSince(pingAt);
    std::unique_lock lock(mutex);
    answered.wait(lock, [&] { return replayAnsweredAt.has_value(); });
    char text[160];
    std::snprintf(text, sizeof text,
                  "stop answered in %.3f s, a ping after it in %.3f s, the replay's answer (%zu bytes) %.1f "
                  "s after the stop",
                  stopAnswer, ping, answerBytes,
                  std::chrono::duration<double>(*replayAnsweredAt - stopAt).count());
    note = text;
    lock.unlock();
    server.finishBackgroundWork();
  }
  std::printf("%-28s %8.2f s %8.0f MiB peak  %s\n", which.c_str(), secondsSince(start),
              static_cast<double>(peakResidentKib()) / 1024, note.c_str());
  return 0;
}

int million(const std::string& folder) {
  std::filesystem::create_directories(folder);
  EventStore store(test::realFileSystem());
  const auto start = std::chrono::steady_clock::now();
  RecordingSession session = sessionWithLog(store, folder, 1000000);
  session = store.stopSession(session).first;
  std::printf(
      "a session of 1,000,000 events (%.0f MiB log) made in %.1f s\n",
      static_cast<double>(std::filesystem::file_size(session.sessionPath + "/events.jsonl")) / (1 << 20),
      secondsSince(start));
  for (const char* which : {"generate", "replay-no-display", "replay-window-never-comes",
                            "stop-while-reading", "stop-while-waiting"}) {
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
      ::execl("/proc/self/exe", "bench_store", "--million-case", which, folder.c_str(),
              session.sessionId.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("%s: failed\n", which);
  }
  return 0;
}

BENCHMARK(BM_PlainOpenWriteClose)->MinTime(2.0);
BENCHMARK(BM_AppendEvent)->MinTime(2.0);
BENCHMARK(BM_AppendEventOverPlain)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StopSession100k)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace diruri

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--stop-once") return diruri::stopOnce(argv[2], argv[3]);
  if (argc == 3 && std::string(argv[1]) == "--million") return diruri::million(argv[2]);
  if (argc == 5 && std::string(argv[1]) == "--million-case")
    return diruri::millionCase(argv[2], argv[3], argv[4]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
