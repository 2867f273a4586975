// Skills on disk: what generating one writes, what each refusal leaves (nothing half written), an
// installation replaced whole, and where a replay finds a skill.
#include "core/skill/skill_library.hpp"

#include <gtest/gtest.h>

#include "core/replay/semantic_replayer.hpp"
#include "tests/support/fault_injecting_file_system.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using test::listTree;
using test::readText;
using test::writeText;

const std::string kSession = "notes-20250131123456789";
const std::string kLog =
    R"({"id":"notes-20250131123456789-session_started","monotonicMs":1,"payload":{"sessionId":"s"},"ts":"2025-01-31T12:34:56Z","type":"session_started"})"
    "\n"
    R"({"id":"evt_000003","monotonicMs":2,"payload":{"app":{"appName":"Notes","processId":7,"windowTitle":"Untitled"},"keyCode":38,"keysym":104,"text":"h"},"ts":"2025-01-31T12:34:57Z","type":"key_down"})"
    "\n"
    R"({"id":"evt_000004","monotonicMs":3,"payload":{"app":{"appName":"Notes","processId":7,"windowTitle":"Untitled"},"keyCode":38,"keysym":104,"text":"h"},"ts":"2025-01-31T12:34:57Z","type":"key_up"})"
    "\n"
    R"({"id":"evt_000005","monotonicMs":4,"payload":{"screenshotOk":true},"ts":"2025-01-31T12:34:58Z","type":"screenshot_captured"})"
    "\n";

class SkillLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { writeSession("stopped", kLog); }

  void writeSession(const std::string& status, const std::string& log) {
    const std::string dir = ws / (".zeruva/record-and-replay/sessions/" + kSession);
    writeText(
        dir + "/session.json",
        R"({"eventsPath":"events.jsonl","helperVersion":"0.1.0","metadataVersion":1,"platform":"linux",)"
        R"("sessionId":")" +
            kSession + R"(","startedAt":"2025-01-31T12:34:56Z","status":")" + status +
            R"(","workspaceId":"ws"})");
    writeText(dir + "/events.jsonl", log);
    writeText(dir + "/summary.json", R"({"recommendedSkillId":"notes"})");
  }
  std::vector<std::string> skillsFolder() { return listTree(ws / ".zeruva/skills"); }

  test::TempDir ws;
  test::TempDir store;
  test::FaultInjectingFileSystem fs{test::realFileSystem()};
  SkillLibrary library{fs, store.path()};
};

TEST_F(SkillLibraryTest, GeneratesAWholeSkillFolderFromAStoppedSession) {
  const GeneratedSkill skill = library.generate(ws.path(), kSession, std::nullopt);
  EXPECT_EQ(skill.skillId, "notes");  // the summary's recommendation
  EXPECT_EQ(skill.skillPath, ws / ".zeruva/skills/notes");
  EXPECT_EQ(skill.steps, 1u);
  EXPECT_EQ(skillsFolder(),
            (std::vector<std::string>{"notes/", "notes/SKILL.md", "notes/references/",
                                      "notes/references/events.jsonl", "notes/references/recording.json",
                                      "notes/references/steps.json"}));
  const std::string document = readText(skill.skillPath + "/SKILL.md");
  EXPECT_EQ(document.substr(0, document.find("\n---\n") + 5),
            "---\nname: notes\ndescription: \"Replays a task recorded in \\\"Notes\\\": type \\\"h\\\", 1 "
            "step.\"\n---\n");
  EXPECT_NE(document.find("- \"Notes\": \"Untitled\"\n"), std::string::npos) << document;
  EXPECT_NE(document.find("## Steps\n\n1. Type \"h\"\n"), std::string::npos) << document;
  EXPECT_NE(document.find("`replay_skill`"), std::string::npos);
  EXPECT_EQ(parseJson(readText(skill.skillPath + "/references/recording.json")),
            JsonValue(JsonObject{{"sessionId", kSession}}));
  // Only the replayable events travel with the skill.
  const std::string events = readText(skill.skillPath + "/references/events.jsonl");
  EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 2);
  EXPECT_EQ(events.find("screenshot_captured"), std::string::npos);
  EXPECT_EQ(*parseJson(readText(skill.skillPath + "/references/steps.json")).asArray()[0].findString("words"),
            "Type \"h\"");
}

TEST_F(SkillLibraryTest, RefusalsSayWhyAndLeaveNothingHalfWritten) {
  const auto refusal = [&](const std::optional<std::string>& skillId) -> std::string {
    try {
      library.generate(ws.path(), kSession, skillId);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "generated";
  };
  const std::string sessions = ws / ".zeruva/record-and-replay/sessions";
  EXPECT_EQ(library.generate(ws.path(), kSession, "kept").steps, 1u);
  const std::string kept = readText(ws / ".zeruva/skills/kept/SKILL.md");

  EXPECT_EQ(refusal("kept"), "The skill \"kept\" exists already at " + (ws / ".zeruva/skills/kept") +
                                 "; a generated skill is never overwritten: choose another skillId.");
  EXPECT_EQ(readText(ws / ".zeruva/skills/kept/SKILL.md"), kept);

  writeSession("recording", kLog);
  EXPECT_EQ(refusal("a"),
            "The session \"" + kSession + "\" is still recording; stop it with event_stream_stop first.");

  writeSession("stopped", kLog);
  std::filesystem::remove(sessions + "/" + kSession + "/events.jsonl");
  std::filesystem::create_directory(sessions + "/" + kSession + "/events.jsonl");
  EXPECT_EQ(refusal("b"), "The log of the session \"" + kSession + "\" cannot be read: read " + sessions +
                              "/" + kSession + "/events.jsonl: Is a directory.");

  std::filesystem::remove_all(sessions);
  EXPECT_EQ(refusal("c"), "The session \"" + kSession + "\" does not exist: there is no " + sessions + "/" +
                              kSession + "/session.json.");

  // A write that fails half-way through: the folder being made goes, the skill never appears.
  writeSession("stopped", kLog);
  fs.addFault({test::FsOp::WriteFileAtomically, "steps.json", 0, ENOSPC});
  EXPECT_EQ(refusal("d").find("write "), 0u);
  EXPECT_EQ(skillsFolder(), (std::vector<std::string>{
                                "kept/", "kept/SKILL.md", "kept/references/", "kept/references/events.jsonl",
                                "kept/references/recording.json", "kept/references/steps.json"}));
}

TEST_F(SkillLibraryTest, InstallingAgainReplacesTheCopyWhole) {
  library.generate(ws.path(), kSession, "notes");
  const std::string installed = library.install(ws.path(), "notes", std::nullopt);
  EXPECT_EQ(installed, store / "notes");
  EXPECT_EQ(listTree(store.path()),
            (std::vector<std::string>{"notes/", "notes/SKILL.md", "notes/references/",
                                      "notes/references/events.jsonl", "notes/references/recording.json",
                                      "notes/references/steps.json"}));
  // Regenerated with fewer files: the installed copy becomes exactly the new one, nothing of the old stays.
  std::filesystem::remove_all(ws / ".zeruva/skills/notes");
  writeText(ws / ".zeruva/skills/notes/SKILL.md", "second");
  EXPECT_EQ(library.install(ws.path(), "notes", std::nullopt), installed);
  EXPECT_EQ(listTree(store.path()), (std::vector<std::string>{"notes/", "notes/SKILL.md"}));
  EXPECT_EQ(readText(installed + "/SKILL.md"), "second");

  test::TempDir elsewhere;
  EXPECT_EQ(library.install(ws.path(), "notes", elsewhere / "deeper/skills"),
            elsewhere / "deeper/skills/notes");

  const auto refusal = [&](const std::string& skillId,
                           const std::optional<std::string>& destination) -> std::string {
    try {
      library.install(ws.path(), skillId, destination);
    } catch (const SkillError& e) {
      return e.what();
    }
    return "installed";
  };
  EXPECT_EQ(refusal("none", std::nullopt), "The skill \"none\" was not generated: there is no " +
                                               (ws / ".zeruva/skills/none/SKILL.md") + ".");
  writeText(elsewhere / "file", "in the way");
  EXPECT_EQ(refusal("notes", elsewhere / "file/skills"),
            "The skill could not be installed into " + (elsewhere / "file/skills") + ": create directory " +
                (elsewhere / "file") + ": Not a directory.");
}

// A replay finds a skill in its workspace first, then in the local store, and replays the skill's
// own events: the session it was made from need not exist there.
TEST_F(SkillLibraryTest, ReplayFindsTheSkillInTheWorkspaceThenTheLocalStore) {
  library.generate(ws.path(), kSession, "notes");
  library.install(ws.path(), "notes", std::nullopt);
  test::TempDir other;
  test::NullPoster poster;
  test::FakeInspector inspector;
  inspector.front = ForegroundAppSnapshot{std::nullopt, "Notes", 9, "Untitled"};
  SemanticReplayer replayer(fs, poster, inspector, store.path());
  EXPECT_EQ(replayer.replay(other.path(), "notes", ReplayOptions{.speed = 0}).status, "success");
  EXPECT_EQ(poster.posted, 2);

  try {
    replayer.replay(other.path(), "missing", ReplayOptions{.speed = 0});
    ADD_FAILURE() << "no error";
  } catch (const SkillNotFound& e) {
    EXPECT_EQ(std::string(e.what()), "The skill \"missing\" was not found in " + (other / ".zeruva/skills") +
                                         " or " + store.path() + ".");
  }
}

TEST(LocalSkillStore, FollowsXdgDataHomeElseTheHomeFolder) {
  EXPECT_EQ(defaultLocalSkillStore("/data", "/home/me"), "/data/diruri-rediro/skills");
  EXPECT_EQ(defaultLocalSkillStore(nullptr, "/home/me"), "/home/me/.local/share/diruri-rediro/skills");
  EXPECT_EQ(defaultLocalSkillStore("relative", "/home/me"), "/home/me/.local/share/diruri-rediro/skills");
  EXPECT_EQ(defaultLocalSkillStore(nullptr, nullptr), "");
}

}  // namespace
}  // namespace diruri
