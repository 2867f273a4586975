// Tests that record what they do to the GTK fixture through the real executable, make it a skill,
// and replay it into a fresh instance.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/json/json_value.hpp"
#include "tests/atspi/atspi_test_support.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/mcp_process.hpp"
#include "tests/support/scoped_environment.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri::test {

using namespace std::chrono_literals;

inline std::string at(int v) { return std::to_string(v); }
// The middle of a box from FixtureApp::where.
inline std::vector<std::string> middleOf(const std::vector<int>& box) {
  return {at(box[0] + box[2] / 2), at(box[1] + box[3] / 2)};
}
inline bool moveTo(const std::vector<std::string>& point) {
  return xdotool({"mousemove", point[0], point[1]});
}

// An xterm titled `title` running `script` with sh (after `options`, such as its geometry), once it
// is shown and in front; null when it does not come.
inline std::unique_ptr<ChildProcess> startTerminal(const std::string& title, const std::string& script,
                                                   const std::vector<std::string>& options = {}) {
  std::vector<std::string> argv{"xterm"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {"-T", title, "-e", "sh", "-c", script});
  auto terminal = std::make_unique<ChildProcess>(argv, quietChild());
  const bool shown = pollUntil<bool>(
      [&] {
        return xdotool({"search", "--sync", "--onlyvisible", "--name", title, "windowactivate", "--sync"});
      },
      [](bool ok) { return ok; }, 10s);
  return shown ? std::move(terminal) : nullptr;
}

class RecordedSkillTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(startSharedDesktop(), ""); }

  std::unique_ptr<McpProcess> server() {
    return std::make_unique<McpProcess>(DIRURI_EXECUTABLE,
                                        std::map<std::string, std::optional<std::string>>{});
  }
  // A fresh fixture, shown and registered on the accessibility bus.
  void startApp(FixtureApp& app, const std::map<std::string, std::optional<std::string>>& env = {}) {
    const ScopedEnvironment scoped(env);
    ASSERT_EQ(app.start("Gestures"), "");
    ASSERT_TRUE(registeredSnapshot(app.pid()).has_value());
  }
  // What `act` does to a fresh fixture, recorded and made into the skill "gesture"; the log's events.
  std::vector<JsonValue> record(const std::function<void(FixtureApp&)>& act) {
    FixtureApp app;
    startApp(app);
    return recordAround([&] { act(app); });
  }
  // What `act` does, recorded and made into the skill "gesture"; the skill's events.
  std::vector<JsonValue> recordAround(const std::function<void()>& act) {
    auto recorder = server();
    const JsonValue started =
        recorder->callTool("event_stream_start", {{"workspacePath", workspace_.path()}});
    EXPECT_EQ(*started.findString("status"), "recording") << writeJson(started);
    act();
    std::this_thread::sleep_for(200ms);  // the last release reaches the log
    EXPECT_EQ(*recorder->callTool("event_stream_stop").findString("status"), "stopped");
    const JsonValue generated =
        recorder->callTool("generate_skill_from_recording", {{"workspacePath", workspace_.path()},
                                                             {"sessionId", *started.findString("sessionId")},
                                                             {"skillId", "gesture"}});
    EXPECT_EQ(*generated.findString("status"), "generated") << writeJson(generated);
    EXPECT_EQ(recorder->finish(), "");
    return readJsonLines(workspace_ / ".zeruva/skills/gesture/references/events.jsonl");
  }
  JsonValue replay(double speed, std::optional<int> fromStep = std::nullopt) {
    auto replayer = server();
    JsonObject arguments{{"workspacePath", workspace_.path()}, {"skillId", "gesture"}, {"speed", speed}};
    if (fromStep) arguments.emplace("fromStep", *fromStep);
    const JsonValue payload = replayer->callTool("replay_skill", arguments);
    EXPECT_EQ(replayer->finish(), "");
    return payload;
  }
  // The step words of the skill, as steps.json has them.
  std::vector<std::string> words() {
    std::vector<std::string> out;
    const JsonValue steps = parseJson(readText(workspace_ / ".zeruva/skills/gesture/references/steps.json"));
    for (const JsonValue& step : steps.asArray()) out.push_back(*step.findString("words"));
    return out;
  }
  static std::string targetOf(const JsonValue& event) {
    const JsonValue* target = event.find("payload")->find("target");
    if (!target) return "";
    const std::string* name = target->findString("name");
    return *target->findString("role") + (name ? " " + *name : "");
  }
  // The elements of the log's presses, in order.
  static std::vector<std::string> pressTargets(const std::vector<JsonValue>& events) {
    std::vector<std::string> out;
    for (const JsonValue& e : events)
      if (*e.findString("type") == "mouse_down") out.push_back(targetOf(e));
    return out;
  }

  TempDir workspace_;
};

}  // namespace diruri::test
