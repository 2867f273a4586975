// A GNOME session as its users have it, headless: what the accessibility bus tells of its windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "core/atspi/atspi_front_window.hpp"
#include "core/wayland/mutter_remote_desktop.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/headless_mutter.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/mcp_process.hpp"
#include "tests/support/poll_until.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;

class GnomeShellSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(shell_.start(), "");
    ::setenv("GDK_BACKEND", "wayland", 1);
    ::unsetenv("NO_AT_BRIDGE");
    ::setenv("FIXTURE_NO_KEYBOARD", "1", 1);
    ::unsetenv("DISPLAY");
  }
  void TearDown() override {
    keys_.end();
    shell_.stop();
    test::endAllChildren();
  }
  static std::string allReports(const test::FixtureApp& app) {
    std::string all;
    for (const std::string& report : app.reports()) all += report + "\n";
    return all;
  }
  static std::string titleOf(const std::optional<FrontWindow>& front) {
    return front && front->app.windowTitle ? *front->app.windowTitle : "";
  }

  // The shell starts in its overview, where no window is active: Escape leaves it, as a person
  // would. The remote-desktop session stays, and with it the seat's keyboard.
  void leaveOverview() {
    ASSERT_TRUE(keys_.begin());
    EXPECT_EQ(keys_.postKey(9, 0xff1b, true), PostResult::Posted);
    EXPECT_EQ(keys_.postKey(9, 0xff1b, false), PostResult::Posted);
    keys_.sync();
  }

  // A person's input, through the remote-desktop service: keys, and clicks on a window that fills
  // the screen (its place in its window is its place on the screen).
  void type(const std::vector<int64_t>& keysyms) {
    for (const int64_t keysym : keysyms) {
      EXPECT_EQ(keys_.postKey(0, keysym, true), PostResult::Posted);
      EXPECT_EQ(keys_.postKey(0, keysym, false), PostResult::Posted);
      keys_.sync();
      std::this_thread::sleep_for(40ms);  // a person's pace
    }
  }
  // Near the widget's right end: the other window, placed by the shell, may cover its middle.
  void click(test::FixtureApp& app, const std::string& widget) {
    const std::vector<int> box = app.where(widget);
    const int x = box[0] + box[2] - std::min(20, box[2] / 2), y = box[1] + box[3] / 2;
    EXPECT_EQ(keys_.postMouse(x, y, true, 1), PostResult::Posted);
    EXPECT_EQ(keys_.postMouse(x, y, false, 1), PostResult::Posted);
    keys_.sync();
  }

  test::HeadlessGnomeShell shell_;
  MutterRemoteDesktopPoster keys_;
  test::TempDir workspace_;
};

// The window in front from window events: one in front before anything is asked, one that comes to
// the front after, and one whose process ends while in front; never a place.
TEST_F(GnomeShellSession, TheFrontWindowComesFromTheAccessibilityBus) {
  test::FixtureApp first, second;
  ASSERT_EQ(first.start("Alpha"), "");
  ASSERT_EQ(second.start("Beta"), "");
  leaveOverview();
  AtspiFrontWindow windows{DisplayBusAddress{}};
  const auto frontIs = [&](const std::string& title) {
    return test::pollUntil<std::optional<FrontWindow>>(
        [&] { return windows.frontWindow(); },
        [&](const std::optional<FrontWindow>& front) { return titleOf(front) == title; }, 10s);
  };
  const std::optional<FrontWindow> front = frontIs("Beta");
  ASSERT_EQ(titleOf(front), "Beta");
  EXPECT_TRUE(windows.knowsFrontWindow());
  EXPECT_EQ(front->app.processId, second.pid());
  EXPECT_FALSE(front->geometry.has_value());
  second.stop();
  const std::optional<FrontWindow> after = frontIs("Alpha");
  EXPECT_EQ(titleOf(after), "Alpha");
  EXPECT_EQ(after ? after->app.processId : 0, first.pid());
}

// A recording on GNOME that begins with another application in front: the window in front in every
// event, one click per click with its element (none from the form's focus coming back when a click
// brings it to the front), a password kept out; replayed by the elements' actions into a fresh
// instance, the other application getting nothing.
TEST_F(GnomeShellSession, ClicksAreRecordedByTheirElementsAndReplayedByTheirActions) {
  // The form fills the screen behind the other application, which is in front when the recording
  // starts; its button has the focus its window gives back when a click brings it to the front.
  test::FixtureApp other, form;
  ASSERT_EQ(form.start("Form"), "");
  ASSERT_TRUE(form.command("focus-button"));
  ASSERT_TRUE(form.command("fullscreen"));
  ASSERT_EQ(other.start("Other"), "");
  leaveOverview();
  test::McpProcess recorder(DIRURI_EXECUTABLE, {});
  const JsonValue started = recorder.callTool("event_stream_start", {{"workspacePath", workspace_.path()}});
  ASSERT_EQ(*started.findString("status"), "recording") << writeJson(started);
  const std::string sessionPath = *started.findString("sessionPath");
  for (const char* flag : {"inputCaptureActive", "accessibilityTrusted", "screenCaptureAllowed"})
    EXPECT_EQ(*started.find(flag), JsonValue(true)) << flag;
  // The start screenshot, through the screen cast: a PNG of the whole output.
  ASSERT_EQ(*started.find("startScreenshotOk"), JsonValue(true)) << writeJson(started);
  std::string png;
  for (const auto& entry : std::filesystem::directory_iterator(sessionPath + "/screenshots"))
    if (entry.path().filename().string().starts_with("start")) png = test::readText(entry.path().string());
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  const auto bigEndian = [&](size_t at) {
    return (static_cast<uint8_t>(png[at]) << 24) | (static_cast<uint8_t>(png[at + 1]) << 16) |
           (static_cast<uint8_t>(png[at + 2]) << 8) | static_cast<uint8_t>(png[at + 3]);
  };
  EXPECT_EQ(bigEndian(16), 1280);  // the IHDR's width and height
  EXPECT_EQ(bigEndian(20), 800);
  std::this_thread::sleep_for(300ms);
  click(form, "Query");
  std::this_thread::sleep_for(300ms);  // the click gives the field the focus before the keys come
  type({'h', 'i'});
  ASSERT_TRUE(form.waitFor(R"(text Query "hi")", 5s)) << allReports(form);
  type({0xff09});  // Tab, into the password field
  std::this_thread::sleep_for(300ms);
  type({'Z', 'q', '9'});
  ASSERT_TRUE(form.waitFor(R"(text Secret "Zq9")", 5s));
  // A focus change soon after a key that types nothing (the Shift of the capital) is the key's doing.
  std::this_thread::sleep_for(600ms);
  click(form, "Agree");
  ASSERT_TRUE(form.waitFor("toggled Agree true", 5s));
  std::this_thread::sleep_for(600ms);
  click(form, "Send");
  ASSERT_TRUE(form.waitFor("pressed Send", 5s));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(*recorder.callTool("event_stream_stop").findString("status"), "stopped");
  const JsonValue generated =
      recorder.callTool("generate_skill_from_recording", {{"workspacePath", workspace_.path()},
                                                          {"sessionId", *started.findString("sessionId")},
                                                          {"skillId", "form"}});
  ASSERT_EQ(*generated.findString("status"), "generated") << writeJson(generated);
  EXPECT_EQ(recorder.finish(), "");

  // The log, line by line: each input in the window "Form", the clicks by their elements.
  std::vector<std::string> lines;
  for (const JsonValue& event : test::readJsonLines(sessionPath + "/events.jsonl")) {
    const std::string kind = *event.findString("type");
    const JsonValue& payload = *event.find("payload");
    if (kind != "mouse_down" && kind != "mouse_up" && kind != "key_down") continue;
    const JsonValue* app = payload.find("app");
    std::string line =
        kind + " in " + (app && app->findString("windowTitle") ? *app->findString("windowTitle") : "?");
    if (const JsonValue* target = payload.find("target")) {
      const std::string* name = target->findString("name");
      line += " " + *target->findString("role") + (name ? " " + *name : "");
      if (kind == "mouse_down") {
        EXPECT_NE(target->find("relative"), nullptr) << writeJson(event);
      }
      EXPECT_EQ(payload.find("x"), nullptr) << writeJson(event);
    }
    if (payload.find("redacted")) line += " redacted";
    if (const std::string* text = payload.findString("text")) line += " " + *text;
    // A key that types nothing goes to the element that had the focus before it.
    if (const JsonValue* focus = payload.find("focus");
        focus && !payload.find("text") && !payload.find("redacted"))
      line += " into " + *focus->findString("name");
    lines.push_back(line);
  }
  // Z, q and 9, and the Shift of the capital where the service sends one.
  const auto redacted =
      std::count(lines.begin(), lines.end(), "key_down in Form password text Secret redacted");
  EXPECT_GE(redacted, 3);
  lines.erase(std::remove(lines.begin(), lines.end(), "key_down in Form password text Secret redacted"),
              lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"key_down in Form h", "key_down in Form i",
                                             "key_down in Form into Query",
                                             "mouse_down in Form check box Agree", "mouse_up in Form",
                                             "mouse_down in Form push button Send", "mouse_up in Form"}));

  // Into a fresh instance: by the elements' actions, the password from its argument.
  form.stop();
  test::FixtureApp fresh;
  ASSERT_EQ(fresh.start("Form"), "");
  const size_t otherBefore = other.reports().size();
  test::McpProcess replayer(DIRURI_EXECUTABLE, {});
  const JsonValue replayed =
      replayer.callTool("replay_skill", {{"workspacePath", workspace_.path()},
                                         {"skillId", "form"},
                                         {"speed", 0},
                                         {"arguments", JsonObject{{"secret", "Pw4"}}}});
  EXPECT_EQ(replayer.finish(), "");
  EXPECT_EQ(*replayed.findString("status"), "success") << writeJson(replayed);
  for (const char* report :
       {R"(text Query "hi")", R"(text Secret "Pw4")", "toggled Agree true", "pressed Send"})
    EXPECT_TRUE(fresh.waitFor(report, 5s)) << report << "\n" << allReports(fresh);
  EXPECT_EQ(other.reports().size(), otherBefore);
}

// The permissions tell what is there: all of it, then without the screen cast, then without the
// accessibility bus.
TEST_F(GnomeShellSession, PermissionsTellWhatIsThere) {
  const auto permissions = [] {
    test::McpProcess server(DIRURI_EXECUTABLE, {});
    const JsonValue answer = server.callTool("permission_status");
    EXPECT_EQ(server.finish(), "");
    return writeJson(answer);
  };
  EXPECT_EQ(permissions(),
            R"({"accessibilityTrusted":true,"inputCaptureActive":false,"screenCaptureAllowed":true})");
  shell_.stopShell();
  EXPECT_EQ(permissions(),
            R"({"accessibilityTrusted":true,"inputCaptureActive":false,"screenCaptureAllowed":false})");
  shell_.stopAccessibilityBus();
  test::endAllChildren();  // the registry and the accessibility bus the launcher left
  EXPECT_EQ(permissions(),
            R"({"accessibilityTrusted":false,"inputCaptureActive":false,"screenCaptureAllowed":false})");
}

}  // namespace
}  // namespace diruri
