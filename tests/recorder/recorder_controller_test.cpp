// The recording life cycle on test doubles: numbering, marker files, log lines and failures.
#include "core/recorder/recorder_controller.hpp"
#include "core/recorder/replay_runs.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/support/json_lines.hpp"
#include "tests/support/poll_until.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using namespace diruri::test;
namespace fs = std::filesystem;

class ControllerTest : public ::testing::Test {
 protected:
  std::vector<JsonValue> logOf(const std::string& sessionPath) {
    return readJsonLines(sessionPath + "/events.jsonl");
  }
  // "id type" of each line, for comparing whole logs at a glance.
  std::vector<std::string> summaryOf(const std::string& sessionPath) {
    std::vector<std::string> out;
    for (const JsonValue& line : logOf(sessionPath)) {
      std::string id = *line.findString("id");
      if (id.rfind("evt_", 0) != 0) id = id.substr(id.rfind('-') + 1);
      out.push_back(id + " " + *line.findString("type"));
    }
    return out;
  }

  TempDir dir;
  FakeTap tap;
  FakeScreenCapture screen;
  FakeInspector inspector;
  NullPoster poster;
  EventStore store{test::realFileSystem()};
  RecorderController controller{store, tap, screen, inspector};
  const CapturedInputEvent click{{.x = 640.5, .y = 412.0}, EventType::kMouseDown};
  const CapturedInputEvent release{{.x = 640.5, .y = 412.0}, EventType::kMouseUp};
  const CapturedInputEvent key{{.keyCode = 38}, EventType::kKeyDown};
};

TEST_F(ControllerTest, RecordingFromStartToStopNumbersMarkersAndEventsInOrder) {
  const RecorderStartResult started = controller.start(dir.path(), "Checkout Flow");
  EXPECT_EQ(started.status, "recording");
  EXPECT_TRUE(started.inputCaptureActive);
  EXPECT_TRUE(started.startScreenshotOk);
  EXPECT_FALSE(started.error);
  const std::string session = started.sessionPath;
  EXPECT_EQ(session, dir.path() + "/.zeruva/record-and-replay/sessions/" + started.sessionId);
  EXPECT_TRUE(fs::exists(session + "/screenshots/start-1.png"));
  EXPECT_TRUE(fs::exists(session + "/ax-snapshots/start-2.json"));

  tap.fire({click, release, key});
  const RecorderStopResult stopped = controller.stop(std::nullopt, std::nullopt);
  EXPECT_EQ(stopped.status, "stopped");
  EXPECT_EQ(stopped.sessionId, started.sessionId);
  EXPECT_EQ(stopped.summaryPath, session + "/summary.json");
  EXPECT_TRUE(fs::exists(session + "/screenshots/stop-6.png"));
  EXPECT_TRUE(fs::exists(session + "/ax-snapshots/stop-7.json"));
  EXPECT_FALSE(tap.isRunning());

  EXPECT_EQ(summaryOf(session), (std::vector<std::string>{
                                    "session_started session_started", "evt_000001 screenshot_captured",
                                    "evt_000002 ax_snapshot", "evt_000003 mouse_down", "evt_000004 mouse_up",
                                    "evt_000005 key_down", "evt_000006 screenshot_captured",
                                    "evt_000007 ax_snapshot", "session_stopped session_stopped"}));
  const auto lines = logOf(session);
  // Input events carry the front application and exactly the captured fields.
  EXPECT_EQ(
      writeJson(*lines[3].find("payload")),
      R"({"app":{"appName":"Editor","bundleId":"org.example.Editor","processId":812,"windowTitle":"Untitled"},)"
      R"("sessionId":")" +
          started.sessionId + R"(","x":640.5,"y":412})");
  EXPECT_EQ(
      writeJson(*lines[5].find("payload")),
      R"({"app":{"appName":"Editor","bundleId":"org.example.Editor","processId":812,"windowTitle":"Untitled"},)"
      R"("keyCode":38,"sessionId":")" +
          started.sessionId + R"("})");
  EXPECT_EQ(*lines[1].find("payload"),
            JsonValue(JsonObject{{"screenshotOk", true},
                                 {"screenshotPath", session + "/screenshots/start-1.png"},
                                 {"sessionId", started.sessionId}}));
  EXPECT_EQ(*lines[2].find("payload"),
            JsonValue(JsonObject{{"axSnapshotPath", session + "/ax-snapshots/start-2.json"},
                                 {"sessionId", started.sessionId}}));
  EXPECT_EQ(controller.status().status, "idle");
}

TEST_F(ControllerTest, WithoutFrontApplicationThereIsNoAccessibilityMarkerAndNoApp) {
  inspector.front.reset();
  const auto started = controller.start(dir.path(), std::nullopt);
  tap.fire({key});
  controller.stop(std::nullopt, std::nullopt);
  EXPECT_EQ(summaryOf(started.sessionPath),
            (std::vector<std::string>{"session_started session_started", "evt_000001 screenshot_captured",
                                      "evt_000002 key_down", "evt_000003 screenshot_captured",
                                      "session_stopped session_stopped"}));
  EXPECT_EQ(logOf(started.sessionPath)[2].find("payload")->find("app"), nullptr);
  EXPECT_FALSE(fs::exists(started.sessionPath + "/ax-snapshots/start-2.json"));
}

TEST_F(ControllerTest, SecondStartAnswersWithTheActiveSessionAndChangesNothing) {
  const auto first = controller.start(dir.path(), "one");
  const auto second = controller.start(dir.path() + "/other", "two");
  EXPECT_EQ(second.error, "active_recording_exists");
  EXPECT_EQ(second.sessionId, first.sessionId);
  EXPECT_EQ(second.sessionPath, first.sessionPath);
  EXPECT_FALSE(second.startScreenshotOk);
  EXPECT_TRUE(second.inputCaptureActive);
  EXPECT_FALSE(fs::exists(dir.path() + "/other"));
  EXPECT_EQ(tap.starts, 1);
  EXPECT_EQ(logOf(first.sessionPath).size(), 3u);
}

TEST_F(ControllerTest, StartStopStartNumbersTheSecondSessionFromOneAgain) {
  controller.start(dir.path(), "one");
  tap.fire({key, key});
  controller.stop(std::nullopt, std::nullopt);
  const auto second = controller.start(dir.path(), "two");
  EXPECT_TRUE(fs::exists(second.sessionPath + "/screenshots/start-1.png"));
  EXPECT_TRUE(fs::exists(second.sessionPath + "/ax-snapshots/start-2.json"));
  tap.fire({key});
  EXPECT_EQ(summaryOf(second.sessionPath).back(), "evt_000003 key_down");
}

TEST_F(ControllerTest, StopWithNothingToStopIsIdleAndAsksNothing) {
  controller.start(dir.path(), "real");
  const std::string realId = controller.status().sessionId.value();
  controller.stop(std::nullopt, std::nullopt);
  const int stopsBefore = tap.stops;
  for (const auto& [ws, id] : std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>{
           {std::nullopt, std::nullopt},
           {dir.path(), std::nullopt},
           {std::nullopt, realId},
           {dir.path(), "   "},
           {" \n", realId},
           {dir.path(), "no-such-session"},
           {dir.path(), "../sessions/" + realId},  // not a plain name: never leaves the sessions folder
           {dir.path(), ".."}}) {
    const RecorderStopResult r = controller.stop(ws, id);
    EXPECT_EQ(writeJson(r.toJson()), R"({"status":"idle"})");
  }
  EXPECT_EQ(tap.stops, stopsBefore);
  EXPECT_EQ(controller.status().status, "idle");
}

TEST_F(ControllerTest, StoppingASessionOfAnEarlierProcessNumbersFromThisControllersCounter) {
  std::string earlierId, earlierPath;
  {
    FakeTap otherTap;
    RecorderController earlier(store, otherTap, screen, inspector);
    const auto r = earlier.start(dir.path(), "left open");
    earlierId = r.sessionId;
    earlierPath = r.sessionPath;
  }
  const RecorderStopResult r = controller.stop(dir.path(), earlierId);
  EXPECT_EQ(r.status, "stopped");
  EXPECT_EQ(r.sessionId, earlierId);
  EXPECT_TRUE(fs::exists(earlierPath + "/screenshots/stop-1.png"));
  EXPECT_TRUE(fs::exists(earlierPath + "/ax-snapshots/stop-2.json"));
  EXPECT_EQ(summaryOf(earlierPath),
            (std::vector<std::string>{"session_started session_started", "evt_000001 screenshot_captured",
                                      "evt_000002 ax_snapshot", "evt_000001 screenshot_captured",
                                      "evt_000002 ax_snapshot", "session_stopped session_stopped"}));
  EXPECT_EQ(controller.status().status, "idle");
  // Nothing checks the stored status: a second stop closes it again.
  EXPECT_EQ(controller.stop(dir.path(), earlierId).status, "stopped");
  EXPECT_EQ(summaryOf(earlierPath).back(), "session_stopped session_stopped");
  EXPECT_EQ(summaryOf(earlierPath).size(), 9u);
}

TEST_F(ControllerTest, StopWhileRecordingStopsTheActiveSessionWhateverIdIsNamed) {
  const auto active = controller.start(dir.path(), "active");
  const auto r = controller.stop(dir.path(), "some-other-session");
  EXPECT_EQ(r.sessionId, active.sessionId);
}

TEST_F(ControllerTest, SourceThatDoesNotStartLeavesARecordingWithoutCapture) {
  tap.startSucceeds = false;
  tap.trusted = false;
  const auto started = controller.start(dir.path(), std::nullopt);
  EXPECT_EQ(started.status, "recording");
  EXPECT_FALSE(started.inputCaptureActive);
  EXPECT_FALSE(started.accessibilityTrusted);
  const auto status = controller.status();
  EXPECT_EQ(status.status, "recording");
  EXPECT_FALSE(status.inputCaptureActive);
  EXPECT_FALSE(controller.permissions().inputCaptureActive);
  // The source says why, in the answer and in every status of the recording.
  EXPECT_EQ(started.warnings,
            std::vector<std::string>{"Input is not captured: no input source can be reached."});
  EXPECT_EQ(status.warnings, started.warnings);
}

TEST_F(ControllerTest, SourceThatEndsOnItsOwnIsNoLongerReportedAsCapturing) {
  controller.start(dir.path(), std::nullopt);
  EXPECT_TRUE(controller.permissions().inputCaptureActive);
  EXPECT_EQ(controller.status().warnings, std::vector<std::string>{});
  tap.endOnItsOwn();
  EXPECT_FALSE(controller.status().inputCaptureActive);
  ASSERT_EQ(controller.status().warnings.size(), 1u);
  EXPECT_EQ(controller.status().warnings[0].rfind("Input capture has ended", 0), 0u);
  EXPECT_FALSE(controller.permissions().inputCaptureActive);
  EXPECT_EQ(controller.status().status, "recording");
}

TEST_F(ControllerTest, SessionThatCannotBeCreatedFailsStartAndStaysIdle) {
  writeText(dir / "file", "x");
  EXPECT_THROW(controller.start(dir / "file", std::nullopt), FileSystemError);
  EXPECT_EQ(controller.status().status, "idle");
  EXPECT_EQ(tap.starts, 0);
  EXPECT_TRUE(screen.targets.empty());
}

TEST_F(ControllerTest, SessionThatCannotBeClosedStaysActiveAndALaterStopFinishesIt) {
  const auto started = controller.start(dir.path(), std::nullopt);
  // summary.json as a directory cannot be replaced, so closing fails after the stopped line.
  fs::create_directory(started.sessionPath + "/summary.json");
  EXPECT_ANY_THROW(controller.stop(std::nullopt, std::nullopt));
  const auto status = controller.status();
  EXPECT_EQ(status.status, "recording");
  EXPECT_FALSE(status.inputCaptureActive);
  fs::remove(started.sessionPath + "/summary.json");
  EXPECT_EQ(controller.stop(std::nullopt, std::nullopt).status, "stopped");
  EXPECT_EQ(controller.status().status, "idle");
}

TEST_F(ControllerTest, EventsAfterStopAreNotLoggedAndTakeNoNumber) {
  const auto started = controller.start(dir.path(), std::nullopt);
  controller.stop(std::nullopt, std::nullopt);
  const auto before = summaryOf(started.sessionPath);
  tap.deliverLate(key);
  EXPECT_EQ(summaryOf(started.sessionPath), before);
  const auto next = controller.start(dir.path(), "next");
  EXPECT_TRUE(fs::exists(next.sessionPath + "/screenshots/start-1.png"));
}

// Events pour in from the source thread while the main thread starts, queries and stops again and
// again: every number is issued once and every line is whole.
TEST_F(ControllerTest, ConcurrentEventsAndMarkersNeverShareANumberOrInterleaveLines) {
  std::vector<std::string> sessions;
  for (int round = 0; round < 20; ++round) {
    const auto started = controller.start(dir.path(), "round " + std::to_string(round));
    sessions.push_back(started.sessionPath);
    tap.fireContinuously(key);
    for (int i = 0; i < 5; ++i) controller.status();
    controller.start(dir.path(), "ignored");
    controller.stop(std::nullopt, std::nullopt);
  }
  size_t events = 0;
  for (const std::string& path : sessions) {
    std::set<std::string> ids;
    const auto lines = logOf(path);  // throws if any line is not whole JSON
    for (const JsonValue& line : lines) {
      const std::string id = *line.findString("id");
      EXPECT_TRUE(ids.insert(id).second) << "duplicate " << id << " in " << path;
      if (*line.findString("type") == "key_down") ++events;
    }
    EXPECT_EQ(*lines.back().findString("type"), "session_stopped");
  }
  EXPECT_GT(events, 0u);
}

// A click's element is looked up while the capture thread goes on: the events after it wait and
// are written behind it in their order, the click with its element; keys typed into a password
// field keep nothing of the key, their releases follow their presses, and the summary points out
// each run of them.
TEST_F(ControllerTest, ClickElementsAndPasswordKeysKeepTheLogInOrder) {
  inspector.lookups = true;
  inspector.element = ElementTarget{
      "push button", "Send", {{"frame", 0}, {"push button", 2}}, WindowGeometry{600, 400, 80, 30}};
  const ElementTarget field{"password text", "Secret", {}, std::nullopt};
  const RecorderStartResult started = controller.start(dir.path(), "Login");
  const std::string session = started.sessionPath;

  inspector.closeGate();
  tap.fire({click, release, key});
  // The capture thread did not wait for the lookup, and nothing behind the click was written.
  EXPECT_EQ(logOf(session).size(), 3u);
  inspector.openGate();
  const CapturedInputEvent keyUp{{.keyCode = 38}, EventType::kKeyUp};
  const CapturedInputEvent secretDown{{.keyCode = 39, .keysym = 0x73, .text = "s"}, EventType::kKeyDown};
  const CapturedInputEvent secretUp{{.keyCode = 39, .keysym = 0x73, .text = "s"}, EventType::kKeyUp};
  tap.fire({keyUp});
  inspector.secretField = field;
  tap.fire({secretDown});
  inspector.secretField.reset();  // focus moved on before the release
  tap.fire({secretUp, secretDown});
  inspector.secretField = field;
  tap.fire({secretUp, click});
  controller.stop(std::nullopt, std::nullopt);

  const auto lines = logOf(session);
  ASSERT_EQ(lines.size(), 15u);
  std::vector<std::string> seen;
  for (size_t i = 3; i < 12; ++i) {
    const JsonValue& payload = *lines[i].find("payload");
    const JsonValue* target = payload.find("target");
    seen.push_back(*lines[i].findString("id") + " " + *lines[i].findString("type") +
                   (payload.find("redacted") ? " redacted" : "") + (payload.find("keyCode") ? " code" : "") +
                   (payload.find("keysym") ? " sym" : "") + (payload.find("text") ? " text" : "") +
                   (target ? " " + writeJson(*target) : ""));
  }
  const std::string button =
      R"({"bounds":{"height":30,"width":80,"x":600,"y":400},"name":"Send","path":[{"index":0,"role":"frame"},{"index":2,"role":"push button"}],"role":"push button"})";
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "evt_000003 mouse_down " + button, "evt_000004 mouse_up", "evt_000005 key_down code",
                      "evt_000006 key_up code",
                      R"(evt_000007 key_down redacted {"name":"Secret","role":"password text"})",
                      "evt_000008 key_up redacted", "evt_000009 key_down code sym text",
                      "evt_000010 key_up code sym text", "evt_000011 mouse_down " + button}));
  EXPECT_EQ(inspector.lookupsStarted.load(), 2);
  const JsonValue summary = parseJson(readText(session + "/summary.json"));
  EXPECT_EQ(writeJson(*summary.find("sensitiveHints")),
            R"([{"evidenceEventIds":["evt_000007","evt_000008"],"reason":"password field"}])");
}

// A click behind a key that waits for its focus (the key follows a click) is looked up when it
// comes, within its budget, not once the key's wait is over.
TEST_F(ControllerTest, AClickBehindAKeyWaitingForItsFocusIsLookedUpInTime) {
  inspector.lookups = true;
  inspector.followsFocus = true;
  inspector.element = ElementTarget{"push button", "Send", {}, WindowGeometry{600, 400, 80, 30}};
  const RecorderStartResult started = controller.start(dir.path(), "Login");
  tap.fire({click, release, key, click});
  controller.stop(std::nullopt, std::nullopt);
  std::vector<std::string> clicks;
  for (const JsonValue& line : logOf(started.sessionPath)) {
    if (*line.findString("type") != "mouse_down") continue;
    const JsonValue* target = line.find("payload")->find("target");
    clicks.push_back(target ? *target->findString("name") : "no element");
  }
  EXPECT_EQ(clicks, (std::vector<std::string>{"Send", "Send"}));
}

// A key that ends a run of typing (Tab) was typed into the run's field, even when the writer asks
// only once the application has moved the focus on; a move heard during the run makes it ask.
TEST_F(ControllerTest, AKeyEndingARunOfTypingKeepsTheRunsField) {
  const ElementTarget query{"text", "Query", {}, std::nullopt};
  const ElementTarget secret{"password text", "Secret", {}, std::nullopt};
  const CapturedInputEvent letter{{.keyCode = 43, .keysym = 0x68, .text = "h"}, EventType::kKeyDown};
  const CapturedInputEvent tab{{.keyCode = 23, .keysym = 0xff09}, EventType::kKeyDown};
  inspector.lookups = true;  // the writer asks for elements
  inspector.followsFocus = true;
  for (const bool moveHeard : {false, true}) {
    inspector.movesHeard = 0;
    inspector.setFocused(query);
    const std::string session = controller.start(dir.path(), "Form").sessionPath;
    tap.fire({letter});
    const auto focusOf = [&](const std::string& type) {
      for (const JsonValue& line : logOf(session))
        if (*line.findString("type") == type && line.find("payload")->find("focus"))
          return *line.find("payload")->find("focus")->findString("name");
      return std::string("none");
    };
    // The letter's line is written, with its field, before the focus moves.
    pollUntil<std::string>([&] { return focusOf("key_down"); },
                           [](const std::string& f) { return f != "none"; });
    inspector.setFocused(secret);
    if (moveHeard) inspector.movesHeard = 1;
    tap.fire({tab});
    controller.stop(std::nullopt, std::nullopt);
    std::vector<std::string> focus;
    for (const JsonValue& line : logOf(session))
      if (*line.findString("type") == "key_down")
        focus.push_back(*line.find("payload")->find("focus")->findString("name"));
    EXPECT_EQ(focus, (std::vector<std::string>{"Query", moveHeard ? "Secret" : "Query"})) << moveHeard;
  }
}

TEST(RunIdentifier, HyphensBecomeUnderscoresAndTheTimeGivesFourteenDigits) {
  EXPECT_EQ(makeRunId("mail-triage", "2025-01-31T09:05:07Z"), "run_mail_triage_20250131090507");
  EXPECT_EQ(makeRunId("mail-triage-daily", "2025-01-31T09:05:07Z"), "run_mail_triage_daily_20250131090507");
  EXPECT_EQ(makeRunId("plain.skill_1", "2025-01-31T09:05:07Z"), "run_plain.skill_1_20250131090507");
  EXPECT_EQ(eventIdentifier(42), "evt_000042");
  EXPECT_EQ(eventIdentifier(1234567), "evt_1234567");
}

}  // namespace
}  // namespace diruri
