// Every file-system failure of the store, the capture pipeline and replay runs, injected under a
// server on doubles: checked in the tool answer the agent gets and in what is left on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "core/mcp/mcp_server.hpp"
#include "tests/support/fault_injecting_file_system.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/server_parts.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tool_calls.hpp"

namespace diruri {
namespace {

using namespace diruri::test;

constexpr int64_t kStartMillis = 1738326896789;  // 2025-01-31T12:34:56.789Z
const std::string kToolError =
    R"({"error":{"code":-32000,"message":"Internal error"},"id":1,"jsonrpc":"2.0"})";

class InjectedFaults : public ::testing::Test {
 protected:
  // The answer line to one tool call.
  std::string call(const std::string& tool, const JsonObject& arguments = {}) {
    return server.handleLine(toolCallLine(tool, arguments));
  }
  static JsonValue payloadOf(const std::string& answer) {
    std::optional<JsonValue> payload = toolPayload(answer);
    if (!payload) throw std::runtime_error("not a tool result: " + answer);
    return std::move(*payload);
  }
  std::string start() {
    return call("event_stream_start", {{"workspacePath", dir.path()}, {"sessionName", "Flow"}});
  }
  std::string stop() { return call("event_stream_stop"); }
  std::string status() { return *payloadOf(call("event_stream_status")).findString("status"); }

  std::string sessionPath() const {
    return dir.path() + "/.zeruva/record-and-replay/sessions/flow-" + formatCompactMillis(kStartMillis);
  }
  std::string file(const std::string& relative) const { return sessionPath() + "/" + relative; }
  // The log as "id type" per line. Every line must parse whole: a torn line fails the test.
  std::vector<std::string> log() const {
    std::vector<std::string> out;
    const std::string text = readText(file("events.jsonl"));
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "log ends in a torn line";
    for (const std::string& logLine : splitLines(text)) {
      const JsonValue line = parseJson(logLine);
      std::string id = *line.findString("id");
      if (!id.starts_with("evt_")) id = id.substr(id.rfind('-') + 1);
      out.push_back(id + " " + *line.findString("type"));
    }
    return out;
  }
  JsonValue line(const std::string& id) const {
    const std::string text = readText(file("events.jsonl"));
    const size_t at = text.find("\"id\":\"" + id + "\"");
    if (at == std::string::npos) throw std::runtime_error("no line " + id);
    const size_t begin = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    return parseJson(text.substr(begin, text.find('\n', at) - begin));
  }
  std::string sessionStatus() const {
    return *parseJson(readText(file("session.json"))).findString("status");
  }
  // Files and folders below the workspace, with no temporary file anywhere.
  std::vector<std::string> tree() const {
    const std::vector<std::string> entries = listTree(dir.path());
    for (const std::string& e : entries) EXPECT_EQ(e.find(".tmp-"), std::string::npos) << "stray " << e;
    return entries;
  }
  bool exists(const std::string& path) const { return ::access(path.c_str(), F_OK) == 0; }
  void fail(FsOp op, const std::string& pathContains, int nth = 0, int err = EIO) {
    fs.addFault({op, pathContains, nth, err});
  }

  TempDir dir;
  FaultInjectingFileSystem fs{test::realFileSystem()};
  FixedClock clock{kStartMillis, 5000};
  EventStore store{fs, clock};
  FakeTap tap;
  FakeScreenCapture screen{fs};
  FakeInspector inspector{fs};
  NullPoster poster;
  ServerParts parts{store, tap, screen, inspector, poster};
  RecorderController& controller = parts.recorder;
  McpServer server{parts.services()};
  const CapturedInputEvent click{{.x = 10, .y = 20}, EventType::kMouseDown};
  const CapturedInputEvent key{{.keyCode = 38}, EventType::kKeyDown};
};

// --- Opening a session ---

TEST_F(InjectedFaults, SessionFoldersThatCannotBeMadeFailTheStartWithNothingWritten) {
  for (const char* folder : {"screenshots", "ax-snapshots"}) {
    SCOPED_TRACE(folder);
    fs.clearFaults();
    fail(FsOp::CreateDirectories, folder, 0, ENOSPC);
    EXPECT_EQ(withoutReason(start()), kToolError);
    EXPECT_EQ(status(), "idle");
    for (const std::string& e : tree()) EXPECT_EQ(e.back(), '/') << "file written: " << e;
  }
  fs.clearFaults();
  EXPECT_EQ(*payloadOf(start()).findString("status"), "recording") << "a failed start must change nothing";
}

TEST_F(InjectedFaults, SessionFileThatCannotBeWrittenFailsTheStartAndLeavesOnlyFolders) {
  fail(FsOp::WriteFileAtomically, "session.json");
  EXPECT_EQ(withoutReason(start()), kToolError);
  EXPECT_EQ(status(), "idle");
  EXPECT_EQ(tree(), (std::vector<std::string>{
                        ".zeruva/", ".zeruva/record-and-replay/", ".zeruva/record-and-replay/sessions/",
                        "." + sessionPath().substr(dir.path().size() + 2) + "/",
                        "." + sessionPath().substr(dir.path().size() + 2) + "/ax-snapshots/",
                        "." + sessionPath().substr(dir.path().size() + 2) + "/screenshots/"}));
}

TEST_F(InjectedFaults, FirstLogLineThatCannotBeWrittenFailsTheStartAndKeepsTheRecordingMetadata) {
  fail(FsOp::WriteFileAtomically, "events.jsonl");
  EXPECT_EQ(withoutReason(start()), kToolError);
  EXPECT_EQ(status(), "idle");
  EXPECT_EQ(sessionStatus(), "recording");
  EXPECT_FALSE(exists(file("events.jsonl")));
  tree();
}

// --- The capture pipeline: markers and input events ---

TEST_F(InjectedFaults, FailedScreenshotIsStillLoggedAndReportedInTheStartResult) {
  fail(FsOp::WriteFileAtomically, "start-1.png");
  const JsonValue started = payloadOf(start());
  EXPECT_EQ(started.find("startScreenshotOk")->asBool(), false);
  EXPECT_EQ(*started.findString("status"), "recording");
  EXPECT_EQ(log(), (std::vector<std::string>{"session_started session_started",
                                             "evt_000001 screenshot_captured", "evt_000002 ax_snapshot"}));
  const JsonValue marker = line("evt_000001");
  EXPECT_FALSE(marker.find("payload")->find("screenshotOk")->asBool());
  EXPECT_EQ(*marker.find("payload")->findString("screenshotPath"), file("screenshots/start-1.png"));
  EXPECT_FALSE(exists(file("screenshots/start-1.png")));
  tree();
}

TEST_F(InjectedFaults, UnwritableSnapshotSkipsItsMarkerButUsesItsNumber) {
  fail(FsOp::WriteFileAtomically, "start-2.json");
  payloadOf(start());
  tap.fire({click});
  EXPECT_EQ(log(), (std::vector<std::string>{"session_started session_started",
                                             "evt_000001 screenshot_captured", "evt_000003 mouse_down"}));
  EXPECT_FALSE(exists(file("ax-snapshots/start-2.json")));
  tree();
}

TEST_F(InjectedFaults, FailedAppendsLoseOnlyTheirOwnLineAndLaterEventsAreStillWritten) {
  // Append 1 finds no log and creates it; 2 is the start screenshot, 4 the first click.
  fail(FsOp::AppendToFile, "events.jsonl", 2, ENOSPC);
  fail(FsOp::AppendToFile, "events.jsonl", 4, EIO);
  const JsonValue started = payloadOf(start());
  EXPECT_TRUE(started.find("startScreenshotOk")->asBool()) << "a lost log line is not a failed screenshot";
  tap.fire({click, key});
  EXPECT_EQ(log(), (std::vector<std::string>{"session_started session_started", "evt_000002 ax_snapshot",
                                             "evt_000004 key_down"}));
  EXPECT_EQ(*payloadOf(stop()).findString("status"), "stopped");
}

TEST_F(InjectedFaults, EventsThatCannotBeEncodedAreDroppedWithoutWritingAByte) {
  payloadOf(start());
  const std::string before = readText(file("events.jsonl"));
  inspector.front->windowTitle = std::string("bad \xff title");  // not UTF-8
  tap.fire({click});
  inspector.front->windowTitle = "Untitled";
  tap.fire({CapturedInputEvent{{.x = std::nan(""), .y = 1}, EventType::kMouseUp}});
  EXPECT_EQ(readText(file("events.jsonl")), before);
  tap.fire({key});
  EXPECT_EQ(log().back(), "evt_000005 key_down") << "numbers of dropped events stay used";
}

// --- Closing a session ---

TEST_F(InjectedFaults, UnappendableStopLineFailsTheStopAndASecondStopFinishesIt) {
  payloadOf(start());
  tap.fire({click});
  fail(FsOp::AppendToFile, "events.jsonl");
  EXPECT_EQ(withoutReason(stop()), kToolError);
  EXPECT_EQ(status(), "recording");
  EXPECT_FALSE(payloadOf(call("permission_status")).find("inputCaptureActive")->asBool());
  EXPECT_EQ(sessionStatus(), "recording");
  EXPECT_FALSE(exists(file("summary.json")));
  fs.clearFaults();
  EXPECT_EQ(*payloadOf(stop()).findString("status"), "stopped");
  const std::vector<std::string> lines = log();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "session_stopped session_stopped"), 1);
  EXPECT_EQ(lines.back(), "session_stopped session_stopped");
  EXPECT_EQ(status(), "idle");
}

TEST_F(InjectedFaults, UnwritableMetadataAtStopKeepsTheStopLineAndWritesNoSummary) {
  payloadOf(start());
  fail(FsOp::WriteFileAtomically, "session.json");
  EXPECT_EQ(withoutReason(stop()), kToolError);
  EXPECT_EQ(log().back(), "session_stopped session_stopped");
  EXPECT_EQ(sessionStatus(), "recording");
  EXPECT_FALSE(exists(file("summary.json")));
  EXPECT_EQ(status(), "recording");
  fs.clearFaults();
  EXPECT_EQ(*payloadOf(stop()).findString("status"), "stopped");
  EXPECT_EQ(sessionStatus(), "stopped");
  tree();
}

TEST_F(InjectedFaults, UnwritableSummaryFailsTheStopAfterTheMetadataIsStopped) {
  payloadOf(start());
  fail(FsOp::WriteFileAtomically, "summary.json");
  EXPECT_EQ(withoutReason(stop()), kToolError);
  EXPECT_EQ(sessionStatus(), "stopped");
  EXPECT_EQ(log().back(), "session_stopped session_stopped");
  EXPECT_FALSE(exists(file("summary.json")));
  tree();
}

TEST_F(InjectedFaults, UnreadableLogAtStopGivesTheSummaryOfAnEmptyLog) {
  payloadOf(start());
  tap.fire({click, key});
  fail(FsOp::ReadFile, "events.jsonl");
  const JsonValue stopped = payloadOf(stop());
  const JsonValue summary = parseJson(readText(*stopped.findString("summaryPath")));
  EXPECT_TRUE(summary.find("apps")->asArray().empty());
  ASSERT_EQ(summary.find("steps")->asArray().size(), 1u);
  EXPECT_EQ(*summary.find("steps")->asArray()[0].findString("intent"),
            "Recorded native interaction session.");
}

TEST_F(InjectedFaults, UnreadablePersistedSessionIsAnIdleStop) {
  payloadOf(start());
  // A second controller over the same files, as a later server process would be.
  ServerParts later{store, tap, screen, inspector, poster};
  McpServer laterServer{later.services()};
  fail(FsOp::ReadFile, "session.json");
  const std::string request = toolCallLine(
      "event_stream_stop",
      {{"workspacePath", dir.path()}, {"sessionId", "flow-" + formatCompactMillis(kStartMillis)}});
  EXPECT_EQ(writeJson(payloadOf(laterServer.handleLine(request))), R"({"status":"idle"})");
  EXPECT_EQ(sessionStatus(), "recording");
}

// --- Replay runs ---

class InjectedReplayFaults : public InjectedFaults {
 protected:
  void SetUp() override {
    payloadOf(start());
    tap.fire({click, key});
    payloadOf(stop());
    writeText(dir / ".zeruva/skills/flow/references/recording.json",
              R"({"sessionId":"flow-)" + formatCompactMillis(kStartMillis) + R"("})");
    clock.setWallMillis(kStartMillis + 60000);
  }
  std::string replay() { return call("replay_skill", {{"workspacePath", dir.path()}, {"skillId", "flow"}}); }
  std::string runPath() const {
    return dir.path() + "/.zeruva/record-and-replay/replay-runs/run_flow_20250131123556";
  }
};

TEST_F(InjectedReplayFaults, RunFolderThatCannotBeMadeFailsBeforeAnythingIsPosted) {
  fail(FsOp::CreateDirectories, "replay-runs");
  EXPECT_EQ(withoutReason(replay()), kToolError);
  EXPECT_EQ(poster.posted, 0);
  EXPECT_FALSE(exists(dir / ".zeruva/record-and-replay/replay-runs"));
}

TEST_F(InjectedReplayFaults, FailedScreenshotsLeaveTheRunGoingWithAnEmptyList) {
  fail(FsOp::WriteFileAtomically, ".png");
  const JsonValue result = payloadOf(replay());
  EXPECT_EQ(*result.findString("status"), "success");
  EXPECT_EQ(poster.posted, 2);
  const JsonValue run = parseJson(readText(runPath() + "/run.json"));
  EXPECT_TRUE(run.find("screenshots")->asArray().empty());
  EXPECT_EQ(run.find("steps")->asArray().size(), 2u);
  tree();
}

TEST_F(InjectedReplayFaults, UnreadableRecordingFailsWithNothingPostedAndOnlyTheBeforeShot) {
  for (const char* file : {"recording.json", "events.jsonl"}) {
    SCOPED_TRACE(file);
    fs.clearFaults();
    fail(FsOp::ReadFile, file, 0, EACCES);
    EXPECT_EQ(withoutReason(replay()), kToolError);
    EXPECT_EQ(poster.posted, 0);
    EXPECT_EQ(listTree(runPath()), (std::vector<std::string>{"screenshots/", "screenshots/before.png"}));
  }
}

TEST_F(InjectedReplayFaults, RecordingsThatDoNotReadAsOneFailWithNothingPosted) {
  const std::string reference = dir / ".zeruva/skills/flow/references/recording.json";
  const std::string events = file("events.jsonl");
  const std::string goodLog = readText(events);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {reference, "{\"sessionId\":"},                    // not JSON
      {reference, "[\"flow\"]"},                         // not an object
      {reference, "{\"sessionId\":7}"},                  // no usable identifier
      {reference, "{\"sessionId\":\"../../../../x\"}"},  // one that leaves the sessions folder
      {events, goodLog + "{\"torn\":\n"},                // a log line that is not JSON
      {events, goodLog + "\"scalar\"\n"},                // a bare scalar
      {events, goodLog + "\xff\n"},                      // not UTF-8
  };
  const std::string goodReference = readText(reference);
  for (const auto& [path, content] : cases) {
    SCOPED_TRACE(content);
    writeText(reference, goodReference);
    writeText(events, goodLog);
    writeText(path, content);
    EXPECT_EQ(withoutReason(replay()), kToolError);
    EXPECT_EQ(poster.posted, 0);
    EXPECT_FALSE(exists(runPath() + "/run.json"));
  }
}

TEST_F(InjectedReplayFaults, UnwritableRunRecordFailsAfterTheReplayWithBothShotsKept) {
  fail(FsOp::WriteFileAtomically, "run.json", 0, ENOSPC);
  EXPECT_EQ(withoutReason(replay()), kToolError);
  EXPECT_EQ(poster.posted, 2);
  EXPECT_EQ(listTree(runPath()),
            (std::vector<std::string>{"screenshots/", "screenshots/after.png", "screenshots/before.png"}));
}

TEST_F(InjectedReplayFaults, UnreachablePosterFailsTheRunInsteadOfReportingSteps) {
  poster.reachable = false;
  EXPECT_EQ(withoutReason(replay()), kToolError);
  EXPECT_EQ(poster.posted, 0);
  EXPECT_FALSE(exists(runPath() + "/run.json"));
}

}  // namespace
}  // namespace diruri
