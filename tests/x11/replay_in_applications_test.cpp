// Recordings replayed through the real executable into a real GTK application, on a private X
// server with a window manager, checked by what the application received: a window that opens late,
// a window that moved, another keyboard layout, a replay stopped or cancelled half-way, a step that
// cannot be posted.
#include <gtest/gtest.h>

#include <thread>

#include <cstdlib>
#include <functional>

#include "tests/support/accessible_desktop.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/mcp_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tool_calls.hpp"
#include "tests/support/x11_test_display.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;
using test::FixtureApp;
using test::McpProcess;

void xdotool(std::vector<std::string> args) { ASSERT_TRUE(test::xdotool(args)) << args[0]; }

void setLayout(const std::string& layout) { ASSERT_EQ(test::runQuietly({"setxkbmap", layout}), 0); }

void clickOn(FixtureApp& app, const std::string& widget) { ASSERT_TRUE(app.clickOn(widget)) << widget; }

class ReplayInApplications : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    x_ = new test::XvfbServer;
    failure_ = x_->start();
    if (failure_.empty() && !x_->startOpenbox()) failure_ = "openbox did not start";
    ::setenv("NO_AT_BRIDGE", "1", 1);  // these replays need no accessibility bus
  }
  static void TearDownTestSuite() {
    delete x_;
    x_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(failure_, "");
    setLayout("us");
  }
  void TearDown() override { setLayout("us"); }

  // A server on the test display, whose local skill store is the test's own.
  std::unique_ptr<McpProcess> server() {
    return std::make_unique<McpProcess>(DIRURI_EXECUTABLE,
                                        std::map<std::string, std::optional<std::string>>{
                                            {"DISPLAY", x_->display()}, {"XDG_DATA_HOME", data_.path()}});
  }
  // A recording of what `act` does, made into the skill "task" of the workspace.
  void record(const std::function<void()>& act) {
    auto recorder = server();
    const JsonValue started =
        recorder->callTool("event_stream_start", {{"workspacePath", workspace_.path()}});
    ASSERT_EQ(*started.findString("status"), "recording") << writeJson(started);
    act();
    const JsonValue stopped = recorder->callTool("event_stream_stop");
    ASSERT_EQ(*stopped.findString("status"), "stopped");
    test::writeText(workspace_ / ".zeruva/skills/task/references/recording.json",
                    writeJson(JsonObject{{"sessionId", *started.findString("sessionId")}}));
    EXPECT_EQ(recorder->finish(), "");
  }

  // The skill "task" replayed by a fresh server; the tool's payload.
  JsonValue replay(double speed) {
    auto replayer = server();
    const JsonValue payload = replayer->callTool(
        "replay_skill", {{"workspacePath", workspace_.path()}, {"skillId", "task"}, {"speed", speed}});
    EXPECT_EQ(replayer->finish(), "");
    return payload;
  }

  static std::vector<std::string> statuses(const JsonValue& payload) {
    std::vector<std::string> out;
    for (const JsonValue& step : payload.find("steps")->asArray()) out.push_back(*step.findString("status"));
    return out;
  }

  static test::XvfbServer* x_;
  static std::string failure_;
  test::TempDir workspace_;
  test::TempDir data_;
};

test::XvfbServer* ReplayInApplications::x_ = nullptr;
std::string ReplayInApplications::failure_;

TEST_F(ReplayInApplications, TypingWaitsForTheWindowThatOpensLate) {
  {
    FixtureApp app;
    ASSERT_EQ(app.start("Notes"), "");
    record([&] {
      clickOn(app, "Open");
      ASSERT_TRUE(app.waitFor("opened Details"));
      xdotool({"type", "--delay", "30", "hello"});
      ASSERT_TRUE(app.waitFor(R"(text Name "hello")"));
    });
  }
  FixtureApp app;
  ASSERT_EQ(app.start("Notes"), "");
  ASSERT_TRUE(app.command("delay 1500"));
  // Back to back: only the wait for the Details window keeps the typing out of the Query entry.
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
  EXPECT_TRUE(app.waitFor(R"(text Name "hello")"));
  for (const std::string& report : app.reports())
    EXPECT_EQ(report.rfind("text Query", 0), std::string::npos) << report;
}

TEST_F(ReplayInApplications, ClicksFollowTheirWindowToWhereItIsNow) {
  {
    FixtureApp app;
    ASSERT_EQ(app.start("Notes"), "");
    ASSERT_TRUE(app.command("move 100 100"));
    record([&] {
      clickOn(app, "Send");
      ASSERT_TRUE(app.waitFor("pressed Send"));
    });
  }
  FixtureApp app;
  ASSERT_EQ(app.start("Notes"), "");
  ASSERT_TRUE(app.command("move 900 500"));
  const JsonValue payload = replay(1);
  EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
  EXPECT_TRUE(app.waitFor("pressed Send"));
}

TEST_F(ReplayInApplications, KeysFollowTheirSymbolOnAnotherLayout) {
  {
    FixtureApp app;
    ASSERT_EQ(app.start("Notes"), "");
    record([&] {
      xdotool({"type", "--delay", "30", "Yz-"});
      ASSERT_TRUE(app.waitFor(R"(text Query "Yz-")"));
    });
  }
  // On a German layout Y and Z trade places and the hyphen moves: the same key codes would type "Zy/".
  setLayout("de");
  FixtureApp app;
  ASSERT_EQ(app.start("Notes"), "");
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
  EXPECT_TRUE(app.waitFor(R"(text Query "Yz-")"));
}

// Stopped by replay_stop or by the client's cancellation, a replay ends between events, leaves no
// key down on the server and records its run as stopped; a cancelled request gets no answer.
TEST_F(ReplayInApplications, StoppedOrCancelledReplayLeavesNothingPressed) {
  {
    FixtureApp app;
    ASSERT_EQ(app.start("Notes"), "");
    record([&] {
      xdotool({"type", "--delay", "150", "abcdefghijklmnop"});
      ASSERT_TRUE(app.waitFor(R"(text Query "abcdefghijklmnop")"));
    });
  }
  test::TestClient observer(x_->display());
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled" : "replay_stop");
    FixtureApp app;
    ASSERT_EQ(app.start("Notes"), "");
    auto replayer = server();
    const int replayId = replayer->takeId();
    ASSERT_TRUE(replayer->send(test::toolCallLine(
        "replay_skill", {{"workspacePath", workspace_.path()}, {"skillId", "task"}}, replayId)));
    ASSERT_TRUE(app.waitFor(R"(text Query "abc")"));
    std::vector<JsonValue> others;
    const int statusId = replayer->takeId();
    ASSERT_TRUE(replayer->send(test::toolCallLine("replay_status", {}, statusId)));
    const JsonValue status = *test::toolPayload(writeJson(*replayer->answerTo(statusId, &others)));
    EXPECT_EQ(*status.findString("status"), "running");
    EXPECT_GE(status.find("stepsDone")->asIntegral().value_or(0), 5);  // through the press of c
    EXPECT_EQ(status.find("stepsTotal")->asIntegral(), 32);

    std::string runId;
    if (cancel) {
      ASSERT_TRUE(
          replayer->send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
                         std::to_string(replayId) + R"(,"reason":"test"}})"));
      // Asked until idle: the answers that come meanwhile must not include the cancelled request's.
      for (JsonValue idle;;) {
        const int id = replayer->takeId();
        ASSERT_TRUE(replayer->send(test::toolCallLine("replay_status", {}, id)));
        idle = *test::toolPayload(writeJson(*replayer->answerTo(id, &others)));
        if (*idle.findString("status") == "idle") break;
      }
      runId = *status.findString("runId");
    } else {
      const int stopId = replayer->takeId();
      ASSERT_TRUE(replayer->send(test::toolCallLine("replay_stop", {}, stopId)));
      const JsonValue stopped = *test::toolPayload(writeJson(*replayer->answerTo(stopId, &others)));
      EXPECT_EQ(*stopped.findString("status"), "stopped");
      runId = *stopped.findString("runId");
      // The stop is answered once the replay's posting has ended; the replay's own answer, written
      // after its run.json, follows and says the same.
      EXPECT_EQ(observer.keysDown(), std::vector<int>{});
      const std::optional<JsonValue> own = replayer->answerTo(replayId, &others);
      ASSERT_TRUE(own);
      EXPECT_EQ(*test::toolPayload(writeJson(*own))->findString("status"), "stopped");
    }
    for (const JsonValue& message : others) {
      const JsonValue* id = message.find("id");
      if (cancel) {
        EXPECT_FALSE(id && id->asIntegral() == replayId) << writeJson(message);
      }
    }
    EXPECT_EQ(observer.keysDown(), std::vector<int>{});
    const JsonValue run = parseJson(
        test::readText(workspace_ / (".zeruva/record-and-replay/replay-runs/" + runId + "/run.json")));
    EXPECT_EQ(*run.findString("status"), "stopped");
    const JsonArray& steps = run.find("steps")->asArray();
    EXPECT_EQ(*steps.front().findString("status"), "replayed");
    EXPECT_EQ(*steps.back().findString("status"), "skipped");
    EXPECT_EQ(*steps.back().findString("reason"), "The replay was stopped.");
    EXPECT_EQ(replayer->finish(), "");
  }
}

// A recording made into a skill: what SKILL.md and steps.json say of it, its installation, and its
// replay by id from a workspace that holds neither the skill nor the session.
TEST_F(ReplayInApplications, ARecordingBecomesASkillThatReplaysFromAnotherWorkspace) {
  std::string sessionId;
  {
    FixtureApp app;
    ASSERT_EQ(app.start("Notes"), "");
    auto recorder = server();
    const JsonValue started =
        recorder->callTool("event_stream_start", {{"workspacePath", workspace_.path()}});
    sessionId = *started.findString("sessionId");
    clickOn(app, "Query");
    xdotool({"type", "--delay", "30", "Hellp"});
    xdotool({"key", "--delay", "30", "BackSpace", "o", "ctrl+s", "Return"});
    ASSERT_TRUE(app.waitFor(R"(text Query "Hello")"));
    EXPECT_EQ(*recorder->callTool("event_stream_stop").findString("status"), "stopped");
    const JsonValue generated = recorder->callTool(
        "generate_skill_from_recording",
        {{"workspacePath", workspace_.path()}, {"sessionId", sessionId}, {"skillId", "notes-hello"}});
    ASSERT_EQ(*generated.findString("status"), "generated") << writeJson(generated);
    EXPECT_EQ(generated.find("steps")->asIntegral(), 4);
    const JsonValue installed = recorder->callTool(
        "install_generated_skill", {{"workspacePath", workspace_.path()}, {"skillId", "notes-hello"}});
    EXPECT_EQ(*installed.findString("installedPath"), data_ / "diruri-rediro/skills/notes-hello");
    test::TempDir destination;
    const JsonValue copied =
        recorder->callTool("install_generated_skill", {{"workspacePath", workspace_.path()},
                                                       {"skillId", "notes-hello"},
                                                       {"destination", destination.path()}});
    EXPECT_EQ(*copied.findString("installedPath"), destination / "notes-hello");
    EXPECT_EQ(test::readText(destination / "notes-hello/SKILL.md"),
              test::readText(workspace_ / ".zeruva/skills/notes-hello/SKILL.md"));
    EXPECT_EQ(recorder->finish(), "");
  }
  const std::string skill = test::readText(workspace_ / ".zeruva/skills/notes-hello/SKILL.md");
  EXPECT_EQ(skill.rfind(
                "---\nname: notes-hello\ndescription: \"Replays a task recorded in \\\"FocusProbe\\\": ", 0),
            0u)
      << skill;
  const JsonValue steps =
      parseJson(test::readText(workspace_ / ".zeruva/skills/notes-hello/references/steps.json"));
  std::vector<std::string> words;
  for (const JsonValue& step : steps.asArray()) words.push_back(*step.findString("words"));
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[0].rfind(R"(Click in "Notes" of "FocusProbe" at ()", 0), 0u) << words[0];
  EXPECT_EQ(words[1], R"(Type "Hello")");
  EXPECT_EQ(words[2], "Press Ctrl+S");
  EXPECT_EQ(words[3], "Press Enter");
  for (size_t i = 0; i < words.size(); ++i) {
    EXPECT_NE(skill.find(std::to_string(i + 1) + ". " + words[i] + "\n"), std::string::npos) << words[i];
  }

  FixtureApp app;
  ASSERT_EQ(app.start("Notes"), "");
  test::TempDir elsewhere;
  auto replayer = server();
  const JsonValue replayed =
      replayer->callTool("replay_skill", {{"workspacePath", elsewhere.path()}, {"skillId", "notes-hello"}});
  EXPECT_EQ(*replayed.findString("status"), "success") << writeJson(replayed);
  EXPECT_TRUE(app.waitFor(R"(text Query "Hello")"));
  EXPECT_EQ(replayer->finish(), "");
}

TEST_F(ReplayInApplications, AStepThatCannotBePostedFailsAndEndsTheReplay) {
  test::writeText(workspace_ / ".zeruva/skills/task/references/recording.json", R"({"sessionId":"hand"})");
  test::writeText(workspace_ / ".zeruva/record-and-replay/sessions/hand/events.jsonl",
                  R"({"id":"evt_000001","type":"key_down","payload":{"keyCode":38}})"
                  "\n"
                  R"({"id":"evt_000002","type":"key_up","payload":{"keyCode":38}})"
                  "\n"
                  R"({"id":"evt_000003","type":"key_down","payload":{"keyCode":300}})"
                  "\n"
                  R"({"id":"evt_000004","type":"key_up","payload":{"keyCode":38}})"
                  "\n");
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "failed");
  EXPECT_EQ(statuses(payload), (std::vector<std::string>{"replayed", "replayed", "failed", "skipped"}));
  EXPECT_EQ(*payload.find("steps")->asArray()[2].findString("reason"),
            "Key code 300 cannot be posted on this display.");
}

// A server ended mid-replay, by the signals clients stop servers with or by its reader going away,
// stops the replay as at the end of its input: nothing stays pressed, and the run is recorded.
TEST_F(ReplayInApplications, AServerEndedMidReplayLeavesNothingPressedAndItsRunRecorded) {
  test::writeText(workspace_ / ".zeruva/skills/held/references/events.jsonl",
                  R"({"id":"e1","monotonicMs":0,"type":"key_down","payload":{"keysym":65505}})"
                  "\n"
                  R"({"id":"e2","monotonicMs":10,"type":"mouse_down","payload":{"x":50,"y":60}})"
                  "\n"
                  R"({"id":"e3","monotonicMs":300,"type":"scroll","payload":{"scrollY":1}})"
                  "\n"
                  R"({"id":"e4","monotonicMs":8300,"type":"scroll","payload":{"scrollY":1}})"
                  "\n");
  test::TestClient observer(x_->display());
  const struct {
    const char* how;
    int signal;  // 0: the reader goes away
  } cases[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}, {"stdout closed", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    auto replayer = server();
    const int replayId = replayer->takeId();
    JsonObject params{{"name", "replay_skill"},
                      {"arguments", JsonObject{{"workspacePath", workspace_.path()}, {"skillId", "held"}}},
                      {"_meta", JsonObject{{"progressToken", "p"}}}};
    ASSERT_TRUE(replayer->send(writeJson(JsonObject{
        {"jsonrpc", "2.0"}, {"id", replayId}, {"method", "tools/call"}, {"params", std::move(params)}})));
    // Until Shift and the button are down.
    std::string runId;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (runId.empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // asked again until then; not a bound
      const int id = replayer->takeId();
      ASSERT_TRUE(replayer->send(test::toolCallLine("replay_status", {}, id)));
      const JsonValue status = *test::toolPayload(writeJson(*replayer->answerTo(id)));
      if (status.find("stepsDone") && *status.find("stepsDone")->asIntegral() >= 2)
        runId = *status.findString("runId");
    }
    ASSERT_FALSE(runId.empty());
    EXPECT_NE(observer.keysDown(), std::vector<int>{});
    if (c.signal != 0) {
      ::kill(replayer->pid(), c.signal);
    } else {
      replayer->closeOutput();  // the next progress notification finds nobody
    }
    const int status = replayer->waitForExit();
    if (c.signal != 0) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(observer.keysDown(), std::vector<int>{});
    EXPECT_EQ(observer.pointer()->mask & XCB_BUTTON_MASK_1, 0);
    const JsonValue run = parseJson(
        test::readText(workspace_ / (".zeruva/record-and-replay/replay-runs/" + runId + "/run.json")));
    EXPECT_EQ(*run.findString("status"), "stopped");
    EXPECT_EQ(replayer->finish(), "");
  }
}

}  // namespace
}  // namespace diruri
