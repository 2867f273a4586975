// Every file-system failure of the store, the capture pipeline and replay runs, injected under a
// server on doubles: checked in the tool answer the agent gets and in what is left on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include <algorithm>
#include <cmath>

#include "core/mcp/mcp_server.hpp"
#include "core/recorder/replay_runs.hpp"
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
  FakeInspector inspector;
  NullPoster poster;
  ServerParts parts{store, tap, screen, inspector, poster};
  RecorderController& controller = parts.recorder;
  McpServer server{parts.services()};
  const CapturedInputEvent click{{.x = 10, .y = 20}, EventType::kMouseDown};
  const CapturedInputEvent key{{.keyCode = 38}, EventType::kKeyDown};
};

// --- Opening a session ---

// Each fault of a start, in turn: the start is refused, the server stays idle, and the session
// folder keeps only the files written before the failed step; a start without faults then works.
TEST_F(InjectedFaults, EachFaultOfAStartRefusesItAndKeepsOnlyWhatCameBefore) {
  const struct {
    const char* name;
    FsFault fault;
    std::vector<std::string> filesKept;  // in the session folder
  } cases[] = {
      {"screenshots cannot be made", {FsOp::CreateDirectories, "screenshots", 0, ENOSPC}, {}},
      {"ax-snapshots cannot be made", {FsOp::CreateDirectories, "ax-snapshots", 0, ENOSPC}, {}},
      {"session.json cannot be written", {FsOp::WriteFileAtomically, "session.json", 0, EIO}, {}},
      {"the first log line cannot be written",
       {FsOp::WriteFileAtomically, "events.jsonl", 0, EIO},
       {"session.json"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs.clearFaults();
    fs.addFault(c.fault);
    EXPECT_EQ(withoutReason(start()), kToolError);
    EXPECT_EQ(status(), "idle");
    std::vector<std::string> files;
    for (const std::string& e : tree()) {
      if (e.back() != '/') files.push_back(e.substr(e.rfind('/') + 1));
    }
    EXPECT_EQ(files, c.filesKept);
    if (!c.filesKept.empty()) {
      EXPECT_EQ(sessionStatus(), "recording");
    }
    std::filesystem::remove_all(dir / ".zeruva");  // the next row starts afresh
  }
  fs.clearFaults();
  EXPECT_EQ(*payloadOf(start()).findString("status"), "recording") << "a failed start must change nothing";
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

// Each fault of a replay run, a run each: whether the replay is refused, how many events were
// posted, and what the run's folder keeps (none: not even the folder was made).
TEST_F(InjectedReplayFaults, EachFaultLeavesWhatItsStepLeft) {
  const std::vector<std::string> beforeOnly = {"screenshots/", "screenshots/before.png"};
  const struct {
    const char* name;
    std::function<void()> inject;
    bool refused;
    int posted;
    std::optional<std::vector<std::string>> kept;
  } cases[] = {
      {"the run folder cannot be made", [&] { fail(FsOp::CreateDirectories, "replay-runs"); }, true, 0,
       std::nullopt},
      {"no screenshot can be written", [&] { fail(FsOp::WriteFileAtomically, ".png"); }, false, 2,
       std::vector<std::string>{"run.json", "screenshots/"}},
      {"recording.json cannot be read", [&] { fail(FsOp::ReadFile, "recording.json", 0, EACCES); }, true, 0,
       beforeOnly},
      {"events.jsonl cannot be read", [&] { fail(FsOp::ReadFile, "events.jsonl", 0, EACCES); }, true, 0,
       beforeOnly},
      {"run.json cannot be written", [&] { fail(FsOp::WriteFileAtomically, "run.json", 0, ENOSPC); }, true, 2,
       std::vector<std::string>{"screenshots/", "screenshots/after.png", "screenshots/before.png"}},
      {"no display to post to", [&] { poster.reachable = false; }, true, 0, beforeOnly},
  };
  int64_t at = kStartMillis + 60000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs.clearFaults();
    poster.reachable = true;
    poster.posted = 0;
    clock.setWallMillis(at += 1000);  // a run folder of its own
    const std::string run =
        dir.path() + "/.zeruva/record-and-replay/replay-runs/" + makeRunId("flow", formatIso8601(at));
    c.inject();
    const std::string answer = replay();
    if (c.refused) {
      EXPECT_EQ(withoutReason(answer), kToolError);
    } else {
      EXPECT_EQ(*payloadOf(answer).findString("status"), "success");
    }
    EXPECT_EQ(poster.posted, c.posted);
    if (!c.kept) {
      EXPECT_FALSE(exists(run));
      continue;
    }
    EXPECT_EQ(listTree(run), *c.kept);
    if (exists(run + "/run.json")) {
      const JsonValue record = parseJson(readText(run + "/run.json"));
      EXPECT_TRUE(record.find("screenshots")->asArray().empty());
      EXPECT_EQ(record.find("steps")->asArray().size(), 2u);
    }
  }
  tree();
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

}  // namespace
}  // namespace diruri
