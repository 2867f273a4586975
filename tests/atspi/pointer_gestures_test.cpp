// Everything the pointer does, recorded through the real executable from a GTK application and
// replayed into a fresh one, judged by what that application received: a context menu's choice, a
// combo box's choice after the widgets moved, a stroke's path, double and single clicks at any
// speed, a submenu that opens on hover, and a click whose element is gone.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "core/json/json_value.hpp"
#include "tests/atspi/recorded_skill.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/mcp_process.hpp"
#include "tests/support/scoped_environment.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;
using test::FixtureApp;

using test::at;
using test::middleOf;
using test::moveTo;

class PointerGestures : public test::RecordedSkillTest {};

// A right click opens the text view's own menu; its "Select All" is found in the popup at replay, and
// the typing replaces the whole text.
TEST_F(PointerGestures, AContextMenuChoiceIsReplayedInThePopup) {
  const std::vector<JsonValue> events = record([](FixtureApp& app) {
    ASSERT_TRUE(moveTo(middleOf(app.where("Notes"))));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(test::xdotool({"click", "3"}));
    const std::vector<int> item = test::pollUntil<std::vector<int>>(
        [&] { return app.whereItem("Select All"); }, [](const std::vector<int>& b) { return b[2] > 0; }, 5s);
    ASSERT_TRUE(moveTo(middleOf(item)));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(test::xdotool({"click", "1"}));
    ASSERT_TRUE(app.waitFor(R"(selection Notes "alpha beta gamma\ndelta epsilon")"));
    ASSERT_TRUE(test::xdotool({"type", "--delay", "40", "new"}));
    ASSERT_TRUE(app.waitFor(R"(text Notes "new")"));
  });
  EXPECT_EQ(pressTargets(events), (std::vector<std::string>{"text Notes", "menu item Select All"}));
  const std::vector<std::string> steps = words();
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.front().rfind("Right-click the \"Notes\"", 0), 0u) << steps.front();

  FixtureApp app;
  startApp(app);
  const JsonValue payload = replay(1);
  EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
  EXPECT_TRUE(app.waitFor(R"(text Notes "new")", 10s)) << writeJson(payload);
}

// The combo box is recorded as what was pressed (not the list item its popup put under the
// pointer), and "Blue" in the open list as itself; both are found again in a larger window and
// under a larger font, where every widget has moved.
TEST_F(PointerGestures, AComboBoxChoiceIsReplayedWhereverTheWidgetsMoved) {
  const std::vector<JsonValue> events = record([](FixtureApp& app) {
    ASSERT_TRUE(moveTo(middleOf(app.where("Colour"))));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(test::xdotool({"click", "1"}));
    const std::vector<int> blue = test::pollUntil<std::vector<int>>(
        [&] { return app.whereItem("Blue"); }, [](const std::vector<int>& b) { return b[2] > 0; }, 5s);
    ASSERT_TRUE(moveTo(middleOf(blue)));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(test::xdotool({"click", "1"}));
    ASSERT_TRUE(app.waitFor("chose Colour Blue"));
  });
  EXPECT_EQ(pressTargets(events), (std::vector<std::string>{"combo box Colour", "menu item Blue"}));

  const struct {
    const char* name;
    std::map<std::string, std::optional<std::string>> env;
    const char* command;
  } moved[] = {{"resized", {}, "size 600 720"}, {"larger font", {{"FIXTURE_FONT_SCALE", "1.5"}}, nullptr}};
  for (const auto& c : moved) {
    SCOPED_TRACE(c.name);
    FixtureApp app;
    startApp(app, c.env);
    if (c.command) {
      ASSERT_TRUE(app.command(c.command));
    }
    const JsonValue payload = replay(1);
    EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
    EXPECT_TRUE(app.waitFor("chose Colour Blue", 10s)) << writeJson(payload);
  }
}

// An L-shaped stroke on the canvas: the replayed one passes within a few pixels of every point the
// recording kept, and bends where the recorded one did.
TEST_F(PointerGestures, AStrokeKeepsItsPath) {
  std::vector<std::pair<int, int>> drawn;  // canvas coordinates
  std::vector<int> canvasAtRecording;
  const std::vector<JsonValue> events = record([&](FixtureApp& app) {
    canvasAtRecording = app.where("Canvas");
    const int x0 = canvasAtRecording[0] + 20, y0 = canvasAtRecording[1] + 20;
    ASSERT_TRUE(moveTo({at(x0), at(y0)}));
    std::this_thread::sleep_for(150ms);
    std::vector<std::string> stroke = {"mousedown", "1"};
    for (int i = 1; i <= 8; ++i)
      stroke.insert(stroke.end(), {"sleep", "0.03", "mousemove", at(x0 + 15 * i), at(y0)});
    for (int i = 1; i <= 5; ++i)
      stroke.insert(stroke.end(), {"sleep", "0.03", "mousemove", at(x0 + 120), at(y0 + 15 * i)});
    stroke.insert(stroke.end(), {"sleep", "0.03", "mouseup", "1"});
    ASSERT_TRUE(test::xdotool(stroke));
    ASSERT_TRUE(app.waitFor("release 140 95"));
  });
  for (const JsonValue& e : events) {
    if (*e.findString("type") != "mouse_move") continue;
    drawn.emplace_back(static_cast<int>(e.find("payload")->find("x")->asDouble()) - canvasAtRecording[0],
                       static_cast<int>(e.find("payload")->find("y")->asDouble()) - canvasAtRecording[1]);
  }
  ASSERT_GE(drawn.size(), 10u);
  const std::vector<std::string> steps = words();
  ASSERT_FALSE(steps.empty());
  EXPECT_NE(steps.back().find("Drag"), std::string::npos) << steps.back();

  FixtureApp app;
  startApp(app);
  ASSERT_TRUE(app.command("size 500 600"));  // the canvas elsewhere in the window: the stroke follows it
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
  ASSERT_TRUE(app.waitFor("release 140 95", 10s)) << writeJson(payload);
  std::vector<std::pair<int, int>> received;
  for (const std::string& report : app.reports()) {
    std::istringstream in(report);
    std::string word;
    int x, y;
    if (in >> word >> x >> y && word == "point") received.emplace_back(x, y);
  }
  for (const auto& [x, y] : drawn) {
    const bool near = std::any_of(received.begin(), received.end(), [&](const std::pair<int, int>& p) {
      return std::hypot(p.first - x, p.second - y) <= 3;
    });
    EXPECT_TRUE(near) << "no point received near " << x << "," << y;
  }
}

// A double click selects a word at speed 0 and at speed 2; two clicks a second apart in one place
// stay two single clicks at speed 0.
TEST_F(PointerGestures, DoubleClicksStayDoubleAndSingleClicksSingle) {
  record([](FixtureApp& app) {
    const std::vector<int> notes = app.where("Notes");
    ASSERT_TRUE(moveTo({at(notes[0] + 12), at(notes[1] + 8)}));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(test::xdotool({"click", "--repeat", "2", "--delay", "80", "1"}));
    ASSERT_TRUE(app.waitFor(R"(selection Notes "alpha")"));
  });
  for (const double speed : {0.0, 2.0}) {
    SCOPED_TRACE(speed);
    FixtureApp app;
    startApp(app);
    const JsonValue payload = replay(speed);
    EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
    EXPECT_TRUE(app.waitFor(R"(selection Notes "alpha")", 10s)) << writeJson(payload);
  }

  // Over the first: a generated skill is never overwritten.
  std::filesystem::remove_all(workspace_ / ".zeruva/skills/gesture");
  record([](FixtureApp& app) {
    ASSERT_TRUE(moveTo(middleOf(app.where("Canvas"))));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(test::xdotool({"click", "--repeat", "2", "--delay", "1000", "1"}));
    std::this_thread::sleep_for(300ms);
  });
  FixtureApp app;
  startApp(app);
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
  ASSERT_TRUE(app.waitFor("release 100 60", 10s));
  ASSERT_TRUE(app.waitFor("release 100 60", 10s, app.reports().size()));
  // A double click would have said "press 100 60 2" before its release.
  size_t single = 0, doubled = 0;
  for (const std::string& report : app.reports()) {
    single += report == "press 100 60 1";
    doubled += report == "press 100 60 2";
  }
  EXPECT_EQ(single, 2u);
  EXPECT_EQ(doubled, 0u);
}

// The submenu opens only on hover; the replay rests where the person rested, and its item is found
// in the submenu.
TEST_F(PointerGestures, ASubmenuThatOpensOnHoverOpensAgain) {
  const std::vector<JsonValue> events = record([](FixtureApp& app) {
    ASSERT_TRUE(moveTo(middleOf(app.where("Menu"))));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(test::xdotool({"click", "1"}));
    const auto shown = [&](const char* item) {
      return test::pollUntil<std::vector<int>>([&] { return app.whereItem(item); },
                                               [](const std::vector<int>& b) { return b[2] > 0; }, 5s);
    };
    ASSERT_TRUE(moveTo(middleOf(shown("More"))));
    const std::vector<int> deep = shown("Deep item");
    ASSERT_GT(deep[2], 0);
    std::this_thread::sleep_for(300ms);
    // Into the submenu sideways, so that the pointer does not cross another item of the menu.
    ASSERT_TRUE(moveTo({at(deep[0] + 10), at(deep[1] + deep[3] / 2)}));
    std::this_thread::sleep_for(150ms);
    ASSERT_TRUE(test::xdotool({"click", "1"}));
    ASSERT_TRUE(app.waitFor("chose Menu Deep item"));
  });
  EXPECT_EQ(pressTargets(events), (std::vector<std::string>{"push button Menu", "menu item Deep item"}));
  const std::vector<std::string> steps = words();
  EXPECT_TRUE(std::any_of(steps.begin(), steps.end(), [](const std::string& w) {
    return w.rfind("Hover over the \"More\"", 0) == 0;
  })) << writeJson(JsonArray(steps.begin(), steps.end()));

  FixtureApp app;
  startApp(app);
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "success") << writeJson(payload);
  EXPECT_TRUE(app.waitFor("chose Menu Deep item", 10s)) << writeJson(payload);
}

// The entry clicked is not there any more, and another is where it was: the step fails naming both,
// and nothing is clicked.
TEST_F(PointerGestures, AClickWhoseElementIsGoneFailsSayingWhatIsThere) {
  record([](FixtureApp& app) {
    ASSERT_TRUE(app.clickOn("Query"));
    std::this_thread::sleep_for(200ms);
  });
  FixtureApp app;
  startApp(app);
  ASSERT_TRUE(app.command("name Search"));
  const JsonValue payload = replay(0);
  EXPECT_EQ(*payload.findString("status"), "failed") << writeJson(payload);
  const JsonValue& first = payload.find("steps")->asArray().front();
  EXPECT_EQ(*first.findString("status"), "failed");
  EXPECT_EQ(*first.findString("reason"),
            "The \"Query\" text was not found in the FocusProbe window \"Gestures\", and at its place in the "
            "window there is the \"Search\" text, so the click is not made there.")
      << writeJson(payload);
}

}  // namespace
}  // namespace diruri
