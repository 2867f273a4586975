// Which logged events a replay posts, in what order, and when it refuses to post anything.
#include "core/replay/semantic_replayer.hpp"

#include <gtest/gtest.h>

#include "core/json/json_value.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using test::TempDir;
using test::writeText;

// Records every posted event as text; optionally unreachable, and with the X11 key range.
class RecordingPoster : public EventPoster {
 public:
  bool reachable = true;
  std::vector<std::string> posted;
  int begins = 0, ends = 0;

  bool begin() override {
    ++begins;
    return reachable;
  }
  bool postMouse(double x, double y, bool down) override {
    posted.push_back(std::string(down ? "down " : "up ") + writeJson(x) + "," + writeJson(y));
    return true;
  }
  bool postKey(int64_t keyCode, bool down) override {
    if (keyCode < 8 || keyCode > 255) return false;
    posted.push_back(std::string(down ? "key+" : "key-") + std::to_string(keyCode));
    return true;
  }
  bool postScroll(int64_t amount) override {
    posted.push_back("scroll " + std::to_string(amount));
    return true;
  }
  void end() override { ++ends; }
};

class ReplayerTest : public ::testing::Test {
 protected:
  void writeSkill(const std::string& skillId, const std::string& reference) {
    writeText(dir / (".zeruva/skills/" + skillId + "/references/recording.json"), reference);
  }
  void writeLog(const std::string& sessionId, const std::string& log) {
    writeText(dir / (".zeruva/record-and-replay/sessions/" + sessionId + "/events.jsonl"), log);
  }
  SemanticReplayResult replay(const std::string& skillId = "skill") {
    SemanticReplayer replayer(test::realFileSystem(), poster);
    return replayer.replay(dir.path(), skillId);
  }
  static std::vector<std::string> ids(const SemanticReplayResult& r) {
    std::vector<std::string> out;
    for (const auto& step : r.steps) {
      EXPECT_EQ(step.size(), 3u);
      EXPECT_EQ(step.at("status"), "replayed");
      out.push_back(step.at("eventId") + ":" + step.at("type"));
    }
    return out;
  }

  TempDir dir;
  RecordingPoster poster;
};

TEST_F(ReplayerTest, PostsTheFiveInputTypesInLogOrderAndSkipsEverythingElse) {
  writeSkill("skill", R"({"sessionId":"s1","other":1})");
  writeLog("s1", R"({"id":"s1-session_started","type":"session_started","payload":{"sessionId":"s1"}})"
                 "\n"
                 R"({"id":"evt_000001","type":"screenshot_captured","payload":{"screenshotOk":true}})"
                 "\n"
                 R"({"id":"evt_000003","type":"mouse_down","payload":{"x":640.5,"y":412}})"
                 "\n"
                 "\n"
                 R"({"id":"evt_000004","type":"mouse_up","payload":{"x":640.5,"y":412.0}})"
                 "\n"
                 R"({"id":"evt_000005","type":"user_marker","payload":{}})"
                 "\n"
                 R"({"id":"evt_000006","type":"key_down","payload":{"keyCode":38}})"
                 "\n"
                 R"({"id":"evt_000007","type":"key_up","payload":{"keyCode":38.0}})"
                 "\n"
                 R"({"id":"evt_000008","type":"scroll","payload":{"scrollY":0}})"
                 "\n"
                 R"({"id":"evt_000009","type":"Mouse_Down","payload":{"x":1,"y":2}})"
                 "\n"
                 R"([1,2,3])"
                 "\n"
                 R"({"type":"scroll","payload":{"scrollY":-3}})"
                 "\n");
  const auto result = replay();
  EXPECT_EQ(ids(result),
            (std::vector<std::string>{"evt_000003:mouse_down", "evt_000004:mouse_up", "evt_000006:key_down",
                                      "evt_000007:key_up", "evt_000008:scroll", ":scroll"}));
  EXPECT_EQ(poster.posted, (std::vector<std::string>{"down 640.5,412", "up 640.5,412", "key+38", "key-38",
                                                     "scroll 0", "scroll -3"}));
  EXPECT_EQ(poster.begins, 1);
  EXPECT_EQ(poster.ends, 1);
}

TEST_F(ReplayerTest, LinesWithMissingMistypedOrUnpostableValuesGiveNoStepAndTheReplayGoesOn) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog("s1", R"({"id":"a","type":"mouse_down","payload":{"x":1}})"
                 "\n"
                 R"({"id":"b","type":"mouse_down","payload":{"x":"1","y":2}})"
                 "\n"
                 R"({"id":"c","type":"key_down","payload":{"keyCode":3.5}})"
                 "\n"
                 R"({"id":"d","type":"key_down","payload":{"keyCode":70000}})"
                 "\n"
                 R"({"id":"e","type":"scroll","payload":{"scrollY":4294967296}})"
                 "\n"
                 R"({"id":"f","type":"scroll","payload":{}})"
                 "\n"
                 R"({"id":"g","type":"key_up"})"
                 "\n"
                 R"({"id":"h","type":7,"payload":{"keyCode":9}})"
                 "\n"
                 R"({"id":12,"type":"key_up","payload":{"keyCode":9}})"
                 "\n"
                 R"({"id":"j","type":"mouse_up","payload":{"x":5,"y":6}})"
                 "\n");
  EXPECT_EQ(ids(replay()), (std::vector<std::string>{":key_up", "j:mouse_up"}));
}

TEST_F(ReplayerTest, EmptyOrBlankLogGivesNoSteps) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog("s1", "");
  EXPECT_TRUE(replay().steps.empty());
  writeLog("s1", "\n\n\n");
  EXPECT_TRUE(replay().steps.empty());
}

TEST_F(ReplayerTest, ReferenceFileThatNamesNoSessionIsAnInvalidRecording) {
  for (const char* reference :
       {R"({"other":"s1"})", R"({"sessionId":5})", R"(["s1"])", R"({"sessionId":null})",
        R"({"sessionId":"../../../elsewhere"})", R"({"sessionId":".."})"}) {
    SCOPED_TRACE(reference);
    writeSkill("skill", reference);
    try {
      replay();
      ADD_FAILURE() << "no error";
    } catch (const SemanticReplayerError& e) {
      EXPECT_EQ(e.code(), SemanticReplayerError::Code::invalidRecording);
    }
  }
  EXPECT_TRUE(poster.posted.empty());
}

TEST_F(ReplayerTest, ReadAndParseErrorsFailTheWholeReplayBeforeAnythingIsPosted) {
  EXPECT_THROW(replay("missing"), FileSystemError);

  writeSkill("skill", "{not json");
  EXPECT_THROW(replay(), JsonParseError);

  writeSkill("skill", R"({"sessionId":"nolog"})");
  EXPECT_THROW(replay(), FileSystemError);

  writeSkill("skill", R"({"sessionId":"s1"})");
  const std::string good = R"({"id":"a","type":"key_down","payload":{"keyCode":38}})"
                           "\n";
  for (const std::string& bad : {std::string("{\"id\":\"b\""), std::string("42"), std::string("\"text\"")}) {
    SCOPED_TRACE(bad);
    writeLog("s1", good + bad);  // the malformed line is the last one
    EXPECT_THROW(replay(), JsonParseError);
  }
  writeLog("s1", good + "{\"id\":\"\xff\"}\n");
  EXPECT_THROW(replay(), FileSystemError);  // not UTF-8
  EXPECT_TRUE(poster.posted.empty());
  EXPECT_EQ(poster.begins, 0);
}

TEST_F(ReplayerTest, UnreachablePosterFailsInsteadOfReportingStepsThatWereNeverPosted) {
  writeSkill("skill", R"({"sessionId":"s1"})");
  writeLog("s1", R"({"id":"a","type":"key_down","payload":{"keyCode":38}})"
                 "\n");
  poster.reachable = false;
  try {
    replay();
    ADD_FAILURE() << "no error";
  } catch (const SemanticReplayerError& e) {
    EXPECT_EQ(e.code(), SemanticReplayerError::Code::posterUnavailable);
  }
  EXPECT_TRUE(poster.posted.empty());
}

}  // namespace
}  // namespace diruri
