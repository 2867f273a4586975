// Fuzzes the readers of an event log: the store's object reader, stopping the session (which writes
// the summary), and the replayer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/replay/semantic_replayer.hpp"
#include "core/store/event_store.hpp"
#include "fuzz/fuzz_doubles.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/memory_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"

using namespace diruri;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string log(reinterpret_cast<const char*>(data), size);
  test::MemoryFileSystem fs("/ws");
  test::FixedClock clock(1738326896789, 5000);
  EventStore store(fs, clock);
  RecordingSession session;
  session.sessionId = "s-20250131123456789";
  session.workspaceId = "ws";
  session.workspacePath = "/ws";
  session.sessionPath = "/ws/.zeruva/record-and-replay/sessions/" + session.sessionId;
  session.startedAt = "2025-01-31T12:34:56Z";
  fs.createDirectories(session.sessionPath);
  const std::string logPath = session.sessionPath + "/events.jsonl";
  fs.writeFileAtomically(logPath, log);

  const size_t lineCount = static_cast<size_t>(std::count(log.begin(), log.end(), '\n')) + 1;
  fuzz::require(store.readEventObjects(session).size() <= lineCount);

  fs.createDirectories("/ws/.zeruva/skills/skill/references");
  fs.writeFileAtomically("/ws/.zeruva/skills/skill/references/recording.json",
                         R"({"sessionId":")" + session.sessionId + R"("})");
  test::NullPoster poster;
  test::FakeInspector inspector;
  SemanticReplayer replayer(fs, poster, inspector);
  try {
    // Back to back, and without waiting for windows: a fuzzed log may name any application.
    const SemanticReplayResult result = replayer.replay(
        "/ws", "skill", ReplayOptions{.speed = 0, .targetWait = std::chrono::milliseconds(0)});
    const auto replayed = std::count_if(result.steps.begin(), result.steps.end(), [](const auto& step) {
      return step.status == ReplayStep::Status::kReplayed;
    });
    fuzz::require(result.steps.size() <= lineCount && poster.posted == replayed);
  } catch (const JsonParseError&) {
    fuzz::require(poster.posted == 0);
  } catch (const FileSystemError&) {
    fuzz::require(poster.posted == 0);
  } catch (const SemanticReplayerError& error) {
    // A line that cannot be posted as recorded fails the replay before anything is posted.
    fuzz::require(error.code() != SemanticReplayerError::Code::unusableEvent || poster.posted == 0);
  }

  const auto [stopped, summaryPath] = store.stopSession(session);
  const JsonValue summary = parseJson(fs.readFile(summaryPath));
  const JsonValue* steps = summary.find("steps");
  fuzz::require(steps && steps->isArray() && !steps->asArray().empty() && steps->asArray().size() <= 50);
  // The stop appended exactly one line, after everything that was there.
  const std::string after = fs.readFile(logPath);
  fuzz::require(after.compare(0, log.size(), log) == 0 && after.back() == '\n' &&
                after.find('\n', log.size()) == after.size() - 1);
  return 0;
}
