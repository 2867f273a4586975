// Fuzzes the readers of an event log: the store's object reader, the summary's line scanner (checked
// line by line against the JSON reader), stopping the session, and the replayer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/replay/semantic_replayer.hpp"
#include "core/store/event_store.hpp"
#include "core/store/summary_line_scan.hpp"
#include "core/text/unicode.hpp"
#include "fuzz/fuzz_doubles.hpp"
#include "fuzz/memory_file_system.hpp"
#include "recorder/recorder_doubles.hpp"
#include "support/fixed_clock.hpp"

using namespace diruri;

namespace {

const std::string* memberString(const JsonValue* object, std::string_view key) {
  return object ? object->findString(key) : nullptr;
}

bool same(const std::optional<std::string>& scanned, const std::string* parsed) {
  return parsed ? scanned == *parsed : !scanned;
}

// The scanner must agree with the reader on which lines count and on the four members it reads.
void checkScannerAgainstReader(std::string_view line) {
  SummaryLineFacts facts;
  const bool scanned = scanSummaryLine(line, facts);
  std::optional<JsonValue> parsed;
  try {
    parsed = parseJson(line);
  } catch (const JsonParseError&) {
  }
  fuzz::require(scanned == (parsed && parsed->isObject()));
  if (!scanned) return;
  const JsonValue* payload = parsed->find("payload");
  const JsonValue* app = payload ? payload->find("app") : nullptr;
  fuzz::require(same(facts.type, parsed->findString("type")));
  fuzz::require(same(facts.id, parsed->findString("id")));
  fuzz::require(same(facts.appName, memberString(app, "appName")));
  fuzz::require(same(facts.windowTitle, memberString(app, "windowTitle")));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string log(reinterpret_cast<const char*>(data), size);
  if (isValidUtf8(log)) {
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find('\n', start);
      if (end == std::string::npos) end = log.size();
      checkScannerAgainstReader(std::string_view(log).substr(start, end - start));
      start = end + 1;
    }
  }

  fuzz::MemoryFileSystem fs("/ws");
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
  SemanticReplayer replayer(fs, poster);
  try {
    const SemanticReplayResult result = replayer.replay("/ws", "skill");
    fuzz::require(result.steps.size() <= lineCount && static_cast<size_t>(poster.posted) == result.steps.size());
  } catch (const JsonParseError&) {
    fuzz::require(poster.posted == 0);
  } catch (const FileSystemError&) {
    fuzz::require(poster.posted == 0);
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
