// Replay runs: the run directory, the screenshots around the replay and the exact run.json.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/recorder/recorder_controller.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/temp_dir.hpp"

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
  RecorderController controller{store, tap, screen, inspector, poster};
};

TEST_F(ReplayRunTest, WritesScreenshotsAndTheRunRecord) {
  const RecorderReplayResult r = controller.replay(dir.path(), "mail-triage");
  const std::string runPath =
      dir.path() + "/.zeruva/record-and-replay/replay-runs/run_mail_triage_20250131090507";
  EXPECT_EQ(r.runId, "run_mail_triage_20250131090507");
  EXPECT_EQ(r.runPath, runPath);
  EXPECT_EQ(
      writeJson(r.toJson()),
      R"({"runId":"run_mail_triage_20250131090507","runPath":")" + writeJson(runPath).substr(1) +
          R"(,"status":"success","steps":[{"eventId":"evt_000003","status":"replayed","type":"mouse_down","via":"window"},)"
          R"({"eventId":"evt_000004","status":"replayed","type":"mouse_up"}]})");
  EXPECT_EQ(poster.posted, 2);
  std::string escaped = runPath;
  for (size_t i = 0; (i = escaped.find('/', i)) != std::string::npos; i += 2) escaped.insert(i, "\\");
  EXPECT_EQ(readText(runPath + "/run.json"),
            "{\n"
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
                "  ]\n"
                "}");
}

TEST_F(ReplayRunTest, FailedCapturesLeaveTheScreenshotListEmptyButTheReplayRuns) {
  screen.succeeds = false;
  const auto r = controller.replay(dir.path(), "mail-triage");
  const JsonValue run = parseJson(readText(r.runPath + "/run.json"));
  EXPECT_TRUE(run.find("screenshots")->asArray().empty());
  EXPECT_EQ(run.find("steps")->asArray().size(), 2u);
}

TEST_F(ReplayRunTest, SkillThatCannotBeFoundFailsAfterTheBeforeScreenshot) {
  EXPECT_THROW(controller.replay(dir.path(), "missing-skill"), FileSystemError);
  const std::string runPath =
      dir.path() + "/.zeruva/record-and-replay/replay-runs/run_missing_skill_20250131090507";
  EXPECT_TRUE(fs::exists(runPath + "/screenshots/before.png"));
  EXPECT_FALSE(fs::exists(runPath + "/screenshots/after.png"));
  EXPECT_FALSE(fs::exists(runPath + "/run.json"));
}

TEST_F(ReplayRunTest, UnreachablePosterFailsTheRunWithoutARunRecord) {
  poster.reachable = false;
  EXPECT_THROW(controller.replay(dir.path(), "mail-triage"), SemanticReplayerError);
  EXPECT_EQ(poster.posted, 0);
}

TEST_F(ReplayRunTest, RunDirectoryThatCannotBeCreatedFailsBeforeAnyCapture) {
  writeText(dir / ".zeruva/record-and-replay/replay-runs", "a file in the way");
  EXPECT_THROW(controller.replay(dir.path(), "mail-triage"), FileSystemError);
  EXPECT_TRUE(screen.targets.empty());
  EXPECT_EQ(poster.posted, 0);
}

TEST_F(ReplayRunTest, RunRecordThatCannotBeWrittenFailsAfterTheReplayHappened) {
  fs::create_directories(dir /
                         ".zeruva/record-and-replay/replay-runs/run_mail_triage_20250131090507/run.json");
  EXPECT_ANY_THROW(controller.replay(dir.path(), "mail-triage"));
  EXPECT_EQ(poster.posted, 2);
  EXPECT_EQ(screen.targets.size(), 2u);
}

TEST_F(ReplayRunTest, ReplayLeavesTheRecordingStateAlone) {
  const auto started = controller.start(dir.path(), std::nullopt);
  controller.replay(dir.path(), "mail-triage");
  const auto status = controller.status();
  EXPECT_EQ(status.sessionId, started.sessionId);
  EXPECT_TRUE(status.inputCaptureActive);
}

}  // namespace
}  // namespace diruri
