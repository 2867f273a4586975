// Skills that take inputs, through the real executable: a form filled in is recorded, its typing
// becomes parameters, and the skill replays into a fresh form with other texts, its password given
// at the replay and written nowhere.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/atspi/recorded_skill.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;
using test::FixtureApp;

class SkillParameters : public test::RecordedSkillTest {
 protected:
  // A server whose local skill store is the test's own.
  std::unique_ptr<test::McpProcess> storeServer() {
    return std::make_unique<test::McpProcess>(
        DIRURI_EXECUTABLE,
        std::map<std::string, std::optional<std::string>>{{"XDG_DATA_HOME", data_.path()}});
  }
  // Every file below `root` whose bytes hold `text`.
  static std::vector<std::string> filesHolding(const std::string& root, const std::string& text) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      if (bytes.str().find(text) != std::string::npos) found.push_back(entry.path().string());
    }
    return found;
  }
  // Why a tool call was refused (an invalid-params error's reason, or a tool result that is an
  // error), "" for any other answer.
  static std::string errorText(const JsonValue& answer) {
    if (const JsonValue* error = answer.find("error"))
      return error->find("data") ? *error->find("data")->findString("reason") : "";
    const JsonValue* result = answer.find("result");
    if (!result || result->find("isError") == nullptr || !result->find("isError")->asBool()) return "";
    return *result->find("content")->asArray()[0].findString("text");
  }

  test::TempDir data_;
};

TEST_F(SkillParameters, AFormReplaysWithOtherTextsAndItsPasswordIsWrittenNowhere) {
  const std::string recordedSecret = "hunter2";
  const std::string givenSecret = "s3cr3t-\xce\xa9x";  // with an omega
  record([](FixtureApp& app) {
    for (const auto& [field, text] : {std::pair{"Query", "Anna"}, {"Code", "Blue"}, {"Secret", "hunter2"}}) {
      ASSERT_TRUE(app.clickOn(field));
      ASSERT_TRUE(test::xdotool({"type", "--delay", "40", text}));
      ASSERT_TRUE(app.waitFor("text " + std::string(field) + " \"" + text + "\""));
    }
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(app.clickOn("Send"));
    ASSERT_TRUE(app.waitFor("pressed Send"));
  });

  // The typing steps name their parameters, which list their fields' names and defaults.
  const std::string skill = workspace_ / ".zeruva/skills/gesture";
  std::vector<std::string> typing;
  const JsonValue steps = parseJson(test::readText(skill + "/references/steps.json"));
  for (const JsonValue& step : steps.asArray()) {
    if (const std::string* parameter = step.findString("parameter"))
      typing.push_back(*step.findString("kind") + " " + *parameter);
  }
  EXPECT_EQ(typing, (std::vector<std::string>{"type query", "type code", "password secret"}))
      << writeJson(steps);
  std::vector<std::string> parameters;
  const JsonValue listedParameters = parseJson(test::readText(skill + "/references/parameters.json"));
  for (const JsonValue& p : listedParameters.find("parameters")->asArray()) {
    const std::string* text = p.findString("default");
    parameters.push_back(*p.findString("name") + (p.find("secret")->asBool() ? " secret" : " " + *text));
  }
  EXPECT_EQ(parameters, (std::vector<std::string>{"query Anna", "code Blue", "secret secret"}));
  const std::string document = test::readText(skill + "/SKILL.md");
  for (const char* said :
       {"## Parameters", "`query` (step ", R"(: Text typed into "Query" in "Gestures" of )",
        R"(; default "Anna")", ", secret): Password typed into \"Secret\"", R"("arguments": {)"})
    EXPECT_NE(document.find(said), std::string::npos) << said << "\n" << document;

  FixtureApp app;
  const std::string form = workspace_ / "form.json";
  startApp(app, {{"FIXTURE_FORM_FILE", form}});
  {
    // Without the password nothing is replayed.
    auto replayer = server();
    const JsonValue refused =
        replayer->callTool("replay_skill", {{"workspacePath", workspace_.path()},
                                            {"skillId", "gesture"},
                                            {"arguments", JsonObject{{"query", "Bob"}}}});
    EXPECT_EQ(errorText(refused).find("The skill's secret parameter secret must be given in arguments"), 0u)
        << writeJson(refused);
    EXPECT_EQ(replayer->finish(), "");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(app.reports(), std::vector<std::string>{}) << "something was posted";
  }
  {
    // With other texts, one of characters the keyboard map lacks: the form receives them, and the
    // checks of their fields expect them.
    auto replayer = server();
    const JsonValue payload =
        replayer->callTool("replay_skill", {{"workspacePath", workspace_.path()},
                                            {"skillId", "gesture"},
                                            {"speed", 0},
                                            {"arguments", JsonObject{{"query",
                                                                      "Zo\xc3\xab \xe2\x82\xac"
                                                                      "5"},
                                                                     {"code", "Red"},
                                                                     {"secret", givenSecret}}}});
    EXPECT_EQ(replayer->finish(), "");
    EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
    EXPECT_EQ(*payload.find("verified"), JsonValue(true)) << writeJson(payload);
    ASSERT_TRUE(app.waitFor("pressed Send"));
    EXPECT_EQ(parseJson(test::readText(form)).asObject(), (JsonObject{{"Query",
                                                                       "Zo\xc3\xab \xe2\x82\xac"
                                                                       "5"},
                                                                      {"Code", "Red"},
                                                                      {"Secret", givenSecret}}))
        << test::readText(form);
    EXPECT_EQ(writeJson(payload).find(givenSecret), std::string::npos);
  }
  std::filesystem::remove(form);

  // Installed, it is found from another workspace with its parameters.
  auto installer = storeServer();
  EXPECT_EQ(*installer
                 ->callTool("install_generated_skill",
                            {{"workspacePath", workspace_.path()}, {"skillId", "gesture"}})
                 .findString("status"),
            "installed");
  test::TempDir elsewhere;
  const JsonValue listed = installer->callTool("list_skills", {{"workspacePath", elsewhere.path()}});
  EXPECT_EQ(installer->finish(), "");
  const JsonArray& skills = listed.find("skills")->asArray();
  ASSERT_EQ(skills.size(), 1u) << writeJson(listed);
  EXPECT_EQ(*skills[0].findString("location"), "store");
  std::vector<std::string> secrets;
  for (const JsonValue& p : skills[0].find("parameters")->asArray())
    secrets.push_back(*p.findString("name") + (p.find("secret")->asBool() ? " secret" : ""));
  EXPECT_EQ(secrets, (std::vector<std::string>{"query", "code", "secret secret"}));

  // No byte of either password is in any file the server wrote: session, skill, runs, store.
  for (const std::string& secret : {recordedSecret, givenSecret}) {
    EXPECT_EQ(filesHolding(workspace_.path(), secret), std::vector<std::string>{}) << secret;
    EXPECT_EQ(filesHolding(data_.path(), secret), std::vector<std::string>{}) << secret;
  }
}

}  // namespace
}  // namespace diruri
