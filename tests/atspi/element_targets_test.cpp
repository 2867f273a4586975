// Recordings through the real executable on an accessible desktop: the element under each click,
// a password that never reaches any file, a replay that finds its button after the layout changed,
// and an application that hangs without holding up the log.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/clock.hpp"
#include "tests/atspi/atspi_test_support.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/mcp_process.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;
using test::FixtureApp;

class ElementTargets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(test::startSharedDesktop(), "");
    ASSERT_EQ(app_.start("Login"), "");
    ASSERT_TRUE(test::registeredSnapshot(app_.pid()).has_value());
  }

  std::unique_ptr<test::McpProcess> server() {
    return std::make_unique<test::McpProcess>(DIRURI_EXECUTABLE,
                                              std::map<std::string, std::optional<std::string>>{});
  }

  // The log's input events (mouse and key), in order.
  static std::vector<JsonValue> inputEvents(const std::string& session) {
    std::vector<JsonValue> events;
    for (JsonValue& line : test::readJsonLines(session + "/events.jsonl")) {
      const std::string type = *line.findString("type");
      if (type.rfind("mouse_", 0) == 0 || type.rfind("key_", 0) == 0) events.push_back(std::move(line));
    }
    return events;
  }

  FixtureApp app_;
  test::TempDir workspace_;
};

// Every key, number and string in a JSON document, at any depth.
void collect(const JsonValue& value, std::multiset<std::pair<std::string, std::string>>& out,
             const std::string& key = "") {
  if (value.isObject()) {
    for (const auto& [k, v] : value.asObject()) collect(v, out, k);
  } else if (value.isArray()) {
    for (const JsonValue& v : value.asArray()) collect(v, out, key);
  } else {
    out.emplace(key, writeJson(value));
  }
}

TEST_F(ElementTargets, ClicksKeepTheirElementPasswordsAreNeverWrittenAndReplayFindsTheButtonAgain) {
  auto recorder = server();
  const JsonValue started = recorder->callTool("event_stream_start", {{"workspacePath", workspace_.path()}});
  ASSERT_EQ(*started.findString("status"), "recording") << writeJson(started);
  const std::string session = *started.findString("sessionPath");
  ASSERT_TRUE(app_.clickOn("Query"));
  ASSERT_TRUE(test::xdotool({"type", "--delay", "40", "hi"}));
  ASSERT_TRUE(app_.waitFor(R"(text Query "hi")"));
  // Into the password field by Tab, not by a click; a person takes a moment before typing.
  ASSERT_TRUE(test::xdotool({"key", "Tab"}));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(test::xdotool({"type", "--delay", "60", "Zq9"}));
  ASSERT_TRUE(app_.waitFor(R"(text Secret "Zq9")"));
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(app_.clickOn("Send"));
  ASSERT_TRUE(app_.waitFor("pressed Send"));
  ASSERT_EQ(*recorder->callTool("event_stream_stop").findString("status"), "stopped");
  const JsonValue generated =
      recorder->callTool("generate_skill_from_recording", {{"workspacePath", workspace_.path()},
                                                           {"sessionId", *started.findString("sessionId")},
                                                           {"skillId", "login"}});
  ASSERT_EQ(*generated.findString("status"), "generated") << writeJson(generated);
  EXPECT_EQ(recorder->finish(), "");

  // The clicks carry their elements; the password's keys carry nothing of the keys.
  std::vector<std::string> clicks;
  std::vector<std::string> redactedIds;
  size_t redactedPresses = 0;
  for (const JsonValue& event : inputEvents(session)) {
    const JsonValue& payload = *event.find("payload");
    const std::string type = *event.findString("type");
    if (type == "mouse_down") {
      const JsonValue* target = payload.find("target");
      ASSERT_NE(target, nullptr) << writeJson(event);
      clicks.push_back(*target->findString("role") + " " + target->findString("name")->c_str());
      EXPECT_EQ(*target->find("path")->asArray().front().findString("role"), "frame");
      const WindowGeometry bounds = WindowGeometry::fromJson(*target->find("bounds"));
      const double x = payload.find("x")->asDouble(), y = payload.find("y")->asDouble();
      EXPECT_TRUE(x >= bounds.x && x < bounds.x + bounds.width && y >= bounds.y &&
                  y < bounds.y + bounds.height)
          << writeJson(event);
    }
    if (payload.find("redacted")) {
      redactedIds.push_back(*event.findString("id"));
      redactedPresses += type == "key_down";
      EXPECT_EQ(payload.find("keyCode"), nullptr);
      EXPECT_EQ(payload.find("keysym"), nullptr);
      EXPECT_EQ(payload.find("text"), nullptr);
    }
  }
  EXPECT_EQ(clicks, (std::vector<std::string>{"text Query", "push button Send"}));
  EXPECT_GE(redactedPresses, 3u);  // Z (with Shift), q, 9
  const JsonValue summary = parseJson(test::readText(session + "/summary.json"));
  EXPECT_EQ(
      *summary.find("sensitiveHints"),
      JsonValue(JsonArray{JsonObject{{"evidenceEventIds", JsonArray(redactedIds.begin(), redactedIds.end())},
                                     {"reason", "password field"}}}));

  // Nowhere in the session or the skill: the keysyms of Z, q and 9, their key codes (US layout), or
  // the characters.
  const std::set<std::string> secretCodes = {"90", "113", "57", "52", "24", "18"};
  const std::string skill = workspace_ / ".zeruva/skills/login";
  for (const std::string& folder : {session, skill}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      const std::string path = entry.path().string();
      if (!entry.is_regular_file() || path.ends_with(".png")) continue;
      const std::string text = test::readText(path);
      EXPECT_EQ(text.find("Zq9"), std::string::npos) << path;
      std::vector<JsonValue> documents;
      if (path.ends_with(".jsonl")) documents = test::readJsonLines(path);
      if (path.ends_with(".json")) documents.push_back(parseJson(text));
      std::multiset<std::pair<std::string, std::string>> values;
      for (const JsonValue& document : documents) collect(document, values);
      for (const auto& [key, value] : values) {
        const bool code = (key == "keyCode" || key == "keysym") && secretCodes.count(value) > 0;
        const bool character = key == "text" && (value == R"("Z")" || value == R"("q")" || value == R"("9")");
        EXPECT_FALSE(code || character) << path << ": " << key << " " << value;
      }
    }
  }
  const std::string document = test::readText(skill + "/SKILL.md");
  EXPECT_NE(document.find(R"(Type the password into "Secret")"), std::string::npos) << document;
  EXPECT_NE(document.find(R"(Click the "Send" push button in "Login" of "FocusProbe")"), std::string::npos)
      << document;
  EXPECT_NE(document.find("ask the person"), std::string::npos) << document;

  // A longer banner pushes the button down inside its window, and the window moves.
  const std::vector<int> before = app_.where("Send");
  ASSERT_TRUE(app_.command(R"(banner A banner\nof four\nlines\nnow)"));
  const std::vector<int> shifted =
      test::pollUntil<std::vector<int>>([&] { return app_.where("Send"); },
                                        [&](const std::vector<int>& box) { return box[1] != before[1]; }, 5s);
  EXPECT_GT(shifted[1] - before[1], before[3] / 2) << "the button did not shift";
  ASSERT_TRUE(app_.command("move 260 190"));
  // The form as it was before the recording: the replay's checks expect what was typed into it.
  ASSERT_TRUE(app_.command("clear Query"));
  ASSERT_TRUE(app_.command("clear Secret"));
  const size_t reportsBefore = app_.reports().size();
  auto replayer = server();
  // The password is a secret parameter: the replay takes it as an argument, or is refused.
  const JsonValue replayed =
      replayer->callTool("replay_skill", {{"workspacePath", workspace_.path()},
                                          {"skillId", "login"},
                                          {"speed", 0},
                                          {"arguments", JsonObject{{"secret", "Pw4"}}}});
  EXPECT_EQ(replayer->finish(), "");
  EXPECT_EQ(*replayed.findString("status"), "success") << writeJson(replayed);
  std::vector<std::string> vias;
  size_t byArgument = 0;
  for (const JsonValue& step : replayed.find("steps")->asArray()) {
    if (const std::string* via = step.findString("via")) vias.push_back(*via);
    EXPECT_EQ(*step.findString("status"), "replayed") << writeJson(step);
    byArgument += step.findString("argument") != nullptr && *step.findString("argument") == "secret";
  }
  EXPECT_EQ(vias, (std::vector<std::string>{"element", "element"}));
  EXPECT_EQ(byArgument, redactedIds.size());
  EXPECT_TRUE(app_.waitFor("pressed Send", 10s, reportsBefore));
  size_t presses = 0;
  std::string secretHeld;
  for (size_t i = reportsBefore; i < app_.reports().size(); ++i) {
    presses += app_.reports()[i] == "pressed Send";
    if (app_.reports()[i].rfind("text Secret ", 0) == 0) secretHeld = app_.reports()[i];
  }
  EXPECT_EQ(presses, 1u) << writeJson(replayed);
  EXPECT_EQ(secretHeld, R"(text Secret "Pw4")");  // the argument, not anything recorded

  // Without any input, for an element the pointer cannot reach: the button's own action presses it.
  const size_t actedBefore = app_.reports().size();
  EXPECT_TRUE(AtspiFocus(x11AccessibilityBus())
                  .activate(app_.pid(), ElementTarget{"push button", "Send", {}, std::nullopt}));
  EXPECT_TRUE(app_.waitFor("pressed Send", 10s, actedBefore));
  EXPECT_FALSE(AtspiFocus(x11AccessibilityBus())
                   .activate(app_.pid(), ElementTarget{"push button", "Nowhere", {}, std::nullopt}));
}

// Keys whose password field is known only after them: typed in one burst behind the Tab that moved
// the focus there (as password managers type), or into an entry that hides its text a moment after
// it got the focus. Neither leaves a key of the password in the log.
TEST_F(ElementTargets, KeysIntoAFieldKnownToBeSecretOnlyLateAreRedacted) {
  struct Case {
    const char* name;
    std::function<bool()> type;
    std::string secret;
    std::string field;
    size_t presses;  // Tab and Shift too
  };
  const std::vector<Case> cases = {
      {"Tab and the password in one burst",
       [&] {
         return app_.command("focus-entry") &&
                test::xdotool({"key", "--delay", "0", "Tab", "B", "u", "r", "s", "t", "9", "k", "j"}) &&
                app_.waitFor(R"(text Secret "Burst9kj")");
       },
       "Burst9kj", "Secret", 10},
      {"an entry that becomes a password field 300 ms after it gets the focus",
       [&] {
         const size_t before = app_.reports().size();
         return app_.command("focus-button") && app_.command("conceal-on-focus 300") &&
                app_.clickOn("Query") && app_.waitFor("concealed Query", 10s, before) &&
                (std::this_thread::sleep_for(200ms), test::xdotool({"type", "--delay", "40", "Hid3x"})) &&
                app_.waitFor(R"(text Query "Hid3x")", 20s, before);
       },
       "Hid3x", "Query", 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto recorder = server();
    const JsonValue started =
        recorder->callTool("event_stream_start", {{"workspacePath", workspace_.path()}});
    const std::string session = *started.findString("sessionPath");
    ASSERT_TRUE(c.type());
    // The application may see the keys before the log has them all.
    const auto presses = [](const std::vector<JsonValue>& events) {
      return std::count_if(events.begin(), events.end(),
                           [](const JsonValue& e) { return *e.findString("type") == "key_down"; });
    };
    test::pollUntil<std::vector<JsonValue>>(
        [&] { return inputEvents(session); },
        [&](const std::vector<JsonValue>& events) { return presses(events) >= static_cast<long>(c.presses); },
        10s);
    ASSERT_EQ(*recorder->callTool("event_stream_stop").findString("status"), "stopped");
    EXPECT_EQ(recorder->finish(), "");
    std::string typed;
    size_t redacted = 0;
    for (const JsonValue& event : inputEvents(session)) {
      const JsonValue& payload = *event.find("payload");
      if (*event.findString("type") != "key_down") continue;
      if (const std::string* text = payload.findString("text")) typed += *text;
      if (payload.find("redacted")) {
        ++redacted;
        EXPECT_EQ(*payload.find("target")->findString("name"), c.field) << writeJson(event);
      }
    }
    EXPECT_EQ(typed.find_first_of(c.secret), std::string::npos) << typed;
    EXPECT_GE(redacted, c.secret.size()) << typed;
  }
}

// A stopped application answers no lookup: its clicks are written without an element within the
// budget, and the events behind them are not held up longer.
TEST_F(ElementTargets, AHungApplicationDelaysNoEventBeyondTheLookupBudget) {
  const std::vector<int> send = app_.where("Send");
  auto recorder = server();
  const JsonValue started = recorder->callTool("event_stream_start", {{"workspacePath", workspace_.path()}});
  const std::string session = *started.findString("sessionPath");
  ASSERT_EQ(::kill(app_.pid(), SIGSTOP), 0);
  const auto clicked = std::chrono::steady_clock::now();
  ASSERT_TRUE(test::xdotool({"mousemove", std::to_string(send[0] + send[2] / 2),
                             std::to_string(send[1] + send[3] / 2), "click", "1", "key", "F5"}));
  const std::vector<JsonValue> events = test::pollUntil<std::vector<JsonValue>>(
      [&] { return inputEvents(session); }, [](const std::vector<JsonValue>& e) { return e.size() >= 4; },
      10s);
  const auto written = std::chrono::steady_clock::now() - clicked;
  ::kill(app_.pid(), SIGCONT);
  ASSERT_EQ(*recorder->callTool("event_stream_stop").findString("status"), "stopped");
  EXPECT_EQ(recorder->finish(), "");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(*events[0].findString("type"), "mouse_down");
  EXPECT_EQ(events[0].find("payload")->find("target"), nullptr);
  EXPECT_EQ(*events[3].findString("type"), "key_up");
  // The budget is 400 ms; the rest is room for a slow machine, far below a bus call's 25 s default.
  EXPECT_LT(written, 2s);
}

}  // namespace
}  // namespace diruri
