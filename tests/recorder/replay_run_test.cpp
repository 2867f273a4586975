// Replay runs: the run directory, the screenshots around the replay and the exact run.json.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "core/mcp/mcp_server.hpp"
#include "core/recorder/recorder_controller.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/server_parts.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tool_calls.hpp"

namespace diruri {
namespace {

using namespace diruri::test;
namespace fs = std::filesystem;

class ReplayRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock.setWallStepPerRead(1000);  // each reading a second later, so start and end differ
    writeText(dir / ".zeruva/skills/mail-triage/references/recording.json", R"({"sessionId":"s1"})");
    writeText(dir / ".zeruva/record-and-replay/sessions/s1/events.jsonl",
              R"({"id":"evt_000003","type":"mouse_down","payload":{"x":10,"y":20}})"
              "\n"
              R"({"id":"evt_000004","type":"mouse_up","payload":{"x":10,"y":20}})"
              "\n");
  }

  TempDir dir;
  FakeTap tap;
  FakeScreenCapture screen;
  FakeInspector inspector;
  NullPoster poster;
  FixedClock clock{1738314307000, 86400123};  // 2025-01-31T09:05:07Z
  EventStore store{test::realFileSystem(), clock};
  ServerParts parts{store, tap, screen, inspector, poster};
  ReplayRuns& replays = parts.replays;
  RecorderController& controller = parts.recorder;
};

TEST_F(ReplayRunTest, WritesScreenshotsAndTheRunRecord) {
  const RecorderReplayResult r = replays.replay(dir.path(), "mail-triage");
  const std::string runPath =
      dir.path() + "/.zeruva/record-and-replay/replay-runs/run_mail_triage_20250131090507";
  EXPECT_EQ(r.runId, "run_mail_triage_20250131090507");
  EXPECT_EQ(r.runPath, runPath);
  EXPECT_EQ(
      writeJson(r.toJson()),
      R"({"checks":{"failed":0,"passed":0},"runId":"run_mail_triage_20250131090507","runPath":")" +
          writeJson(runPath).substr(1) +
          R"(,"status":"success","stepCounts":{"replayed":2},"steps":[{"eventId":"evt_000003","status":"replayed","type":"mouse_down","via":"window"},)"
          R"({"eventId":"evt_000004","status":"replayed","type":"mouse_up"}],"verified":false})");
  EXPECT_EQ(poster.posted, 2);
  std::string escaped = runPath;
  for (size_t i = 0; (i = escaped.find('/', i)) != std::string::npos; i += 2) escaped.insert(i, "\\");
  EXPECT_EQ(readText(runPath + "/run.json"),
            "{\n"
            "  \"checks\" : {\n"
            "    \"failed\" : 0,\n"
            "    \"passed\" : 0\n"
            "  },\n"
            "  \"endedAt\" : \"2025-01-31T09:05:08Z\",\n"
            "  \"runId\" : \"run_mail_triage_20250131090507\",\n"
            "  \"screenshots\" : [\n"
            "    \"" +
                escaped +
                "\\/screenshots\\/before.png\",\n"
                "    \"" +
                escaped +
                "\\/screenshots\\/after.png\"\n"
                "  ],\n"
                "  \"skillId\" : \"mail-triage\",\n"
                "  \"startedAt\" : \"2025-01-31T09:05:07Z\",\n"
                "  \"status\" : \"success\",\n"
                "  \"steps\" : [\n"
                "    {\n"
                "      \"eventId\" : \"evt_000003\",\n"
                "      \"status\" : \"replayed\",\n"
                "      \"type\" : \"mouse_down\",\n"
                "      \"via\" : \"window\"\n"
                "    },\n"
                "    {\n"
                "      \"eventId\" : \"evt_000004\",\n"
                "      \"status\" : \"replayed\",\n"
                "      \"type\" : \"mouse_up\"\n"
                "    }\n"
                "  ],\n"
                "  \"verified\" : false\n"
                "}");
}

TEST_F(ReplayRunTest, SkillThatCannotBeFoundFailsAfterTheBeforeScreenshot) {
  EXPECT_THROW(replays.replay(dir.path(), "missing-skill"), FileSystemError);
  const std::string runPath =
      dir.path() + "/.zeruva/record-and-replay/replay-runs/run_missing_skill_20250131090507";
  EXPECT_TRUE(fs::exists(runPath + "/screenshots/before.png"));
  EXPECT_FALSE(fs::exists(runPath + "/screenshots/after.png"));
  EXPECT_FALSE(fs::exists(runPath + "/run.json"));
}

TEST_F(ReplayRunTest, ReplayLeavesTheRecordingStateAlone) {
  const auto started = controller.start(dir.path(), std::nullopt);
  replays.replay(dir.path(), "mail-triage");
  const auto status = controller.status();
  EXPECT_EQ(status.sessionId, started.sessionId);
  EXPECT_TRUE(status.inputCaptureActive);
}

// Ids have whole seconds and "-" becomes "_": runs that would share a folder get one of their own.
TEST_F(ReplayRunTest, RunsInOneSecondNeverShareAFolder) {
  clock.setWallStepPerRead(0);
  writeText(dir / ".zeruva/skills/mail_triage/references/recording.json", R"({"sessionId":"s1"})");
  const std::string runs = dir / ".zeruva/record-and-replay/replay-runs/";
  const struct {
    const char* skill;
    const char* runId;
  } cases[] = {{"mail-triage", "run_mail_triage_20250131090507"},
               {"mail-triage", "run_mail_triage_20250131090507-2"},
               {"mail_triage", "run_mail_triage_20250131090507-3"}};
  for (const auto& c : cases) {
    const RecorderReplayResult r = replays.replay(dir.path(), c.skill);
    EXPECT_EQ(r.runId, c.runId);
    EXPECT_EQ(*parseJson(readText(runs + c.runId + "/run.json")).findString("skillId"), c.skill);
  }
  EXPECT_EQ(listTree(runs).size(), 3u * 5);  // each run its folder, run.json and two screenshots
}

// An agent reads the answer whole: it lists the first thousand steps and the failed one, and counts.
TEST(ReplayAnswer, ListsTheFirstThousandStepsAndTheFailedOneAndCountsAll) {
  RecorderReplayResult result;
  result.status = "failed";
  for (size_t i = 0; i < 1500; ++i) {
    using Status = ReplayStep::Status;
    const Status status = i < 1200 ? Status::kReplayed : i == 1200 ? Status::kFailed : Status::kSkipped;
    result.steps.push_back(
        {"evt_" + std::to_string(i), EventType::kKeyDown, status, ReplayStep::Via::kNone, ""});
  }
  const JsonValue answer = result.toJson();
  const JsonArray& listed = answer.find("steps")->asArray();
  ASSERT_EQ(listed.size(), 1001u);
  EXPECT_EQ(*listed[999].findString("eventId"), "evt_999");
  EXPECT_EQ(writeJson(listed[1000]),
            R"({"eventId":"evt_1200","index":1200,"status":"failed","type":"key_down"})");
  EXPECT_EQ(writeJson(*answer.find("stepCounts")), R"({"failed":1,"replayed":1200,"skipped":299})");
  EXPECT_EQ(answer.find("stepsOmitted")->asIntegral(), 499);
  result.steps.resize(3);
  EXPECT_EQ(result.toJson().find("stepsOmitted"), nullptr);
}

// The server answers while a replay runs: a stop does not wait for the run to be written, and the
// next replay is accepted as soon as the previous one's answer is going out.
TEST_F(ReplayRunTest, StopsAndNewReplaysAreAnsweredWhateverTheReplayIsDoing) {
  std::promise<void> afterEntered, afterReleased, answerGoingOut;
  std::shared_future<void> release = afterReleased.get_future().share();
  std::atomic<int> afters{0};
  screen.onCapture = [&](const std::string& path) {
    if (!path.ends_with("after.png") || afters++ > 0) return;
    afterEntered.set_value();
    release.wait();  // the first replay's after screenshot takes as long as the test wants
  };
  std::mutex linesMutex;
  std::vector<std::string> lines;
  McpServer server(parts.services());
  server.answerInBackground([&](std::string line) {
    if (line.find(R"("id":1,)") != std::string::npos) {
      // Its answer is slow to go out, as to a client that reads slowly.
      answerGoingOut.set_value();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::lock_guard lock(linesMutex);
    lines.push_back(std::move(line));
  });
  const auto replayCall = [&](int id) {
    return toolCallLine("replay_skill", {{"workspacePath", dir.path()}, {"skillId", "mail-triage"}}, id);
  };
  EXPECT_EQ(server.handleLine(replayCall(1)), "");
  afterEntered.get_future().wait();
  auto stop =
      std::async(std::launch::async, [&] { return server.handleLine(toolCallLine("replay_stop", {}, 2)); });
  const bool stopAnswered = stop.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  afterReleased.set_value();
  ASSERT_TRUE(stopAnswered) << "the stop waited for the replay's after screenshot";
  EXPECT_EQ(*toolPayload(stop.get())->findString("status"), "success");  // its posting had ended

  answerGoingOut.get_future().wait();
  EXPECT_EQ(server.handleLine(replayCall(3)), "") << "a replay whose answer is going out refused the next";
  for (int i = 0; i < 2000; ++i) {
    if (std::lock_guard lock(linesMutex); lines.size() == 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  server.finishBackgroundWork();
  std::lock_guard lock(linesMutex);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(*toolPayload(lines[0])->findString("status"), "success");
  EXPECT_EQ(*toolPayload(lines[1])->findString("status"), "success");
}

}  // namespace
}  // namespace diruri
