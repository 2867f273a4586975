// What a Wayland session tells about itself and gives: the compositor's interfaces, the front
// window from the sway IPC, and a screenshot through the screen copy; on a headless sway run as an
// unprivileged user, with the tests' GTK application as a native Wayland client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/atspi/atspi_meaning_recorder.hpp"
#include "core/wayland/foreign_toplevel.hpp"
#include "core/wayland/sway_ipc.hpp"
#include "core/wayland/wayland_event_poster.hpp"
#include "core/wayland/wayland_front_window.hpp"
#include "core/wayland/wayland_globals.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/headless_sway.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/mcp_process.hpp"
#include "tests/support/poll_until.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;

TEST(SwayTree, TheFocusedWindowIsFoundAtAnyDepthAndReadAsTheFrontWindow) {
  const auto tree = [](const std::string& window) {
    return parseJson(
        R"({"type":"root","nodes":[{"type":"output","nodes":[{"type":"workspace","focused":false,)"
        R"("nodes":[{"type":"con","focused":false,"app_id":"other","pid":5},)" +
        window + "]}]}]}");
  };
  const struct {
    const char* name;
    std::string window;
    std::optional<FrontWindow> front;
  } cases[] = {
      {"a native window",
       R"({"type":"con","focused":true,"app_id":"org.example.Notes","pid":42,"name":"Notes",)"
       R"("rect":{"x":10,"y":20,"width":300,"height":200}})",
       FrontWindow{{"org.example.Notes", "org.example.Notes", 42, "Notes"},
                   WindowGeometry{10, 20, 300, 200}}},
      {"a window with borders: its surface",
       R"({"type":"con","focused":true,"app_id":"notes","pid":42,"name":"Notes",)"
       R"("rect":{"x":10,"y":20,"width":300,"height":200},"window_rect":{"x":2,"y":3,"width":296,"height":195}})",
       FrontWindow{{"notes", "notes", 42, "Notes"}, WindowGeometry{12, 23, 296, 195}}},
      {"an Xwayland window, floating",
       R"({"type":"con","focused":false,"floating_nodes":[{"type":"floating_con","focused":true,"app_id":null,)"
       R"("window_properties":{"class":"XTerm"},"pid":7,"name":"xterm"}]})",
       FrontWindow{{"XTerm", "XTerm", 7, "xterm"}, std::nullopt}},
      {"a focused workspace without windows", R"({"type":"workspace","focused":true})", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(focusedWindowOf(tree(c.window)), c.front) << c.name;
  EXPECT_EQ(focusedWindowOf(parseJson("[1,2]")), std::nullopt);
}

class SwaySession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sway_ = new test::HeadlessSway;
    failure_ = sway_->start();
    busDir_ = new test::TempDir;
    bus_ = new test::AccessibilityBus;
    if (failure_.empty()) failure_ = bus_->start(busDir_->path(), true);
  }
  static void TearDownTestSuite() {
    delete bus_;
    delete busDir_;
    delete sway_;
    sway_ = nullptr;
    test::endAllChildren();  // the daemons the accessibility bus launcher detached
  }
  void SetUp() override {
    ASSERT_EQ(failure_, "");
    ::setenv("XDG_RUNTIME_DIR", sway_->runtimeDir().c_str(), 1);
    ::setenv("WAYLAND_DISPLAY", sway_->waylandDisplay().c_str(), 1);
  }

  // The server as a Wayland session starts it: no X display, the compositor's sockets.
  static std::map<std::string, std::optional<std::string>> session() {
    return {{"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", sway_->waylandDisplay()},
            {"SWAYSOCK", sway_->swaySocket()},
            {"XDG_RUNTIME_DIR", sway_->runtimeDir()}};
  }

  // The fixture application as a native, accessible Wayland client, the front window.
  static void startAccessibleApp(test::FixtureApp& app, const std::string& title) {
    ::setenv("GDK_BACKEND", "wayland", 1);
    ::unsetenv("NO_AT_BRIDGE");
    ::setenv("FIXTURE_NO_KEYBOARD", "1", 1);
    ::unsetenv("DISPLAY");
    ASSERT_EQ(app.start(title), "");
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < until;) {
      const std::optional<FrontWindow> front = swayFrontWindow(400ms, sway_->swaySocket());
      if (front && front->app.processId == app.pid()) return;
    }
    FAIL() << "the application did not come to front";
  }

  static test::HeadlessSway* sway_;
  static test::TempDir* busDir_;
  static test::AccessibilityBus* bus_;
  static std::string failure_;
};

test::HeadlessSway* SwaySession::sway_ = nullptr;
test::TempDir* SwaySession::busDir_ = nullptr;
test::AccessibilityBus* SwaySession::bus_ = nullptr;
std::string SwaySession::failure_;

TEST_F(SwaySession, TheCompositorsInterfacesAreListedAndNoneWithoutACompositor) {
  const std::optional<std::set<std::string>> globals = waylandGlobals();
  ASSERT_TRUE(globals.has_value());
  for (const char* wanted : {"wl_seat", "wl_shm", "wl_output", "zwlr_screencopy_manager_v1",
                             "zwp_virtual_keyboard_manager_v1", "zwlr_virtual_pointer_manager_v1"}) {
    EXPECT_EQ(globals->count(wanted), 1u) << wanted;
  }
  ::setenv("WAYLAND_DISPLAY", "wayland-none", 1);
  EXPECT_EQ(waylandGlobals(), std::nullopt);
}

TEST_F(SwaySession, TheFrontWindowIsTheFocusedNativeApplicationAndAHungCompositorCostsTheBudget) {
  ::setenv("GDK_BACKEND", "wayland", 1);
  ::setenv("NO_AT_BRIDGE", "1", 1);
  ::setenv("FIXTURE_NO_KEYBOARD", "1", 1);  // the headless seat has no keyboard
  ::unsetenv("DISPLAY");
  test::FixtureApp app;
  ASSERT_EQ(app.start("Wayland Probe"), "");
  // The compositor focuses a new window as it maps it; the tree may show it a moment later.
  std::optional<FrontWindow> front;
  for (const auto until = std::chrono::steady_clock::now() + 5s;
       (!front || front->app.processId != app.pid()) && std::chrono::steady_clock::now() < until;) {
    front = swayFrontWindow(400ms, sway_->swaySocket());
  }
  ASSERT_TRUE(front.has_value());
  EXPECT_EQ(front->app.processId, app.pid());
  EXPECT_EQ(front->app.windowTitle, "Wayland Probe");
  EXPECT_FALSE(front->app.appName.empty());
  ASSERT_TRUE(front->geometry.has_value());
  EXPECT_GT(front->geometry->width, 0);
  EXPECT_EQ(swayFrontWindow(400ms, sway_->runtimeDir() + "/no-such-socket"), std::nullopt);

  // A compositor that stopped answering: the answer is none, within about the budget.
  ASSERT_EQ(::kill(sway_->pid(), SIGSTOP), 0);
  const auto asked = std::chrono::steady_clock::now();
  const std::optional<FrontWindow> hung = swayFrontWindow(400ms, sway_->swaySocket());
  const auto took = std::chrono::steady_clock::now() - asked;
  ::kill(sway_->pid(), SIGCONT);
  EXPECT_EQ(hung, std::nullopt);
  EXPECT_LT(took, 2s);
}

// Without the sway IPC the front window comes from the compositor's window list: of two windows,
// the one the IPC calls focused, by the same app_id and title; none without a compositor.
TEST_F(SwaySession, TheForeignToplevelListNamesTheSameFrontWindowAsTheIpc) {
  ::setenv("GDK_BACKEND", "wayland", 1);
  ::setenv("NO_AT_BRIDGE", "1", 1);
  ::setenv("FIXTURE_NO_KEYBOARD", "1", 1);
  ::unsetenv("DISPLAY");
  const auto inFront = [](pid_t pid) {
    std::optional<FrontWindow> front;
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         (!front || front->app.processId != pid) && std::chrono::steady_clock::now() < until;) {
      front = swayFrontWindow(400ms, sway_->swaySocket());
    }
    return front && front->app.processId == pid ? front : std::nullopt;
  };
  test::FixtureApp app, newer;
  ASSERT_EQ(app.start("Listed In Front"), "");
  ASSERT_EQ(newer.start("Listed Behind"), "");
  // Once the newer window has taken the focus it takes it no more; the older one is then brought
  // back in front, so that the activated window is not merely the newest.
  ASSERT_TRUE(inFront(newer.pid()).has_value());
  test::ChildProcess focus(
      {"swaymsg", "-s", sway_->swaySocket(), "[pid=" + std::to_string(app.pid()) + "] focus"},
      test::quietChild());
  ASSERT_EQ(focus.wait(), 0);
  const std::optional<FrontWindow> ipc = inFront(app.pid());
  ASSERT_TRUE(ipc && ipc->app.applicationId);
  const std::optional<FrontWindow> front = foreignToplevelFrontWindow();
  ASSERT_TRUE(front.has_value());
  EXPECT_EQ(front->app.applicationId, ipc->app.applicationId);
  EXPECT_EQ(front->app.windowTitle, ipc->app.windowTitle);

  ::setenv("WAYLAND_DISPLAY", "wayland-none", 1);
  EXPECT_EQ(foreignToplevelFrontWindow(), std::nullopt);
  ::setenv("WAYLAND_DISPLAY", sway_->waylandDisplay().c_str(), 1);
}

// A replay's keys and clicks through the virtual keyboard and pointer reach a native application:
// typed by keysym into its focused entry, and a click on its button where the compositor placed it.
TEST_F(SwaySession, VirtualKeyboardAndPointerReachANativeApplication) {
  ::setenv("GDK_BACKEND", "wayland", 1);
  ::setenv("NO_AT_BRIDGE", "1", 1);
  ::setenv("FIXTURE_NO_KEYBOARD", "1", 1);
  ::unsetenv("DISPLAY");
  test::FixtureApp app;
  ASSERT_EQ(app.start("Replay Target"), "");
  WaylandEventPoster poster;
  ASSERT_TRUE(poster.begin());
  for (const int64_t keysym : {0x48, 0x69}) {  // "H" (no Shift needed: the key gives it), "i"
    EXPECT_EQ(poster.postKey(1, keysym, true), PostResult::Posted);
    EXPECT_EQ(poster.postKey(1, keysym, false), PostResult::Posted);
  }
  EXPECT_TRUE(app.waitFor(R"(text Query "Hi")", 5s));
  // The application knows its widgets inside its window; the compositor knows where that is.
  std::optional<FrontWindow> front = swayFrontWindow(1s, sway_->swaySocket());
  ASSERT_TRUE(front && front->geometry);
  const std::vector<int> send = app.where("Send");
  EXPECT_EQ(poster.postMouse(front->geometry->x + send[0] + send[2] / 2,
                             front->geometry->y + send[1] + send[3] / 2, true, 1),
            PostResult::Posted);
  EXPECT_EQ(poster.postMouse(front->geometry->x + send[0] + send[2] / 2,
                             front->geometry->y + send[1] + send[3] / 2, false, 1),
            PostResult::Posted);
  EXPECT_TRUE(app.waitFor("pressed Send", 5s));
  EXPECT_EQ(poster.postMouse(-1, 5, true, 1), PostResult::Inexpressible);
  EXPECT_EQ(poster.postKey(2, std::nullopt, true), PostResult::Inexpressible);  // no keysym: older logs
  poster.end();
}

// The screenshot helper in a Wayland session: the compositor's output through the screen copy, as a
// PNG of the output's size, with no X display to fall back to.
TEST_F(SwaySession, TheScreenshotHelperCopiesTheOutput) {
  const std::optional<JsonValue> tree = swayTree(1s, sway_->swaySocket());
  ASSERT_TRUE(tree.has_value());
  const WindowGeometry output = WindowGeometry::fromJson(*tree->find("rect"));
  test::TempDir dir;
  const std::string helper =
      (std::filesystem::path(DIRURI_EXECUTABLE).parent_path() / "DiruriRediro-screenshot").string();
  test::ChildOptions options = test::quietChild();
  options.environment["DISPLAY"] = std::nullopt;
  test::ChildProcess child({helper, "--wayland", dir / "shot.png"}, options);
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string png = test::readText(dir / "shot.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  const auto be32 = [&](size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(png[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(png[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(png[at + 2])) << 8) |
           static_cast<uint8_t>(png[at + 3]);
  };
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(be32(16), static_cast<uint32_t>(output.width));
  EXPECT_EQ(be32(20), static_cast<uint32_t>(output.height));
}

// A recording by meaning: typing, a Tab into the password field, a click on a button, each with the
// front window; then a replay into a fresh instance whose window has moved.
TEST_F(SwaySession, RecordingByMeaningAndReplayIntoAMovedWindow) {
  test::FixtureApp app;
  startAccessibleApp(app, "Login");
  test::TempDir workspace;
  WaylandEventPoster input;  // the person's keyboard and pointer: with a keyboard, the window is active
  ASSERT_TRUE(input.begin());
  test::McpProcess recorder(DIRURI_EXECUTABLE, session());
  const JsonValue started = recorder.callTool("event_stream_start", {{"workspacePath", workspace.path()}});
  ASSERT_EQ(*started.findString("status"), "recording") << writeJson(started);
  ASSERT_TRUE(started.find("inputCaptureActive")->asBool()) << writeJson(started);
  const std::string sessionPath = *started.findString("sessionPath");
  const auto type = [&](std::initializer_list<int64_t> keysyms) {
    for (const int64_t keysym : keysyms) {
      EXPECT_EQ(input.postKey(1, keysym, true), PostResult::Posted);
      EXPECT_EQ(input.postKey(1, keysym, false), PostResult::Posted);
      input.sync();
      std::this_thread::sleep_for(40ms);
    }
  };
  type({'h', 'i'});
  ASSERT_TRUE(app.waitFor(R"(text Query "hi")", 5s));
  type({0xff09});                      // Tab
  std::this_thread::sleep_for(300ms);  // a person takes a moment before typing into the next field
  type({'Z', 'q', '9'});
  ASSERT_TRUE(app.waitFor(R"(text Secret "Zq9")", 5s));
  // Soon after typing: characters move no focus, so the click is not taken for the keyboard's doing.
  std::this_thread::sleep_for(150ms);
  const std::optional<FrontWindow> front = swayFrontWindow(1s, sway_->swaySocket());
  ASSERT_TRUE(front && front->geometry);
  const std::vector<int> send = app.where("Send");
  const double sx = front->geometry->x + send[0] + send[2] / 2.0,
               sy = front->geometry->y + send[1] + send[3] / 2.0;
  EXPECT_EQ(input.postMouse(sx, sy, true, 1), PostResult::Posted);
  EXPECT_EQ(input.postMouse(sx, sy, false, 1), PostResult::Posted);
  input.end();
  ASSERT_TRUE(app.waitFor("pressed Send", 5s));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(*recorder.callTool("event_stream_stop").findString("status"), "stopped");
  const JsonValue generated =
      recorder.callTool("generate_skill_from_recording", {{"workspacePath", workspace.path()},
                                                          {"sessionId", *started.findString("sessionId")},
                                                          {"skillId", "login"}});
  ASSERT_EQ(*generated.findString("status"), "generated") << writeJson(generated);
  EXPECT_EQ(recorder.finish(), "");

  // The log, line by line: what each key meant, the password's keys without them, the click at
  // its element's middle.
  std::vector<std::string> seen;
  bool startShot = false, startSnapshot = false;
  for (const JsonValue& line : test::readJsonLines(sessionPath + "/events.jsonl")) {
    const std::string kind = *line.findString("type");
    const JsonValue& payload = *line.find("payload");
    if (kind == "screenshot_captured" && !startShot) {
      startShot = true;
      EXPECT_TRUE(payload.find("screenshotOk")->asBool());
      EXPECT_EQ(test::readText(*payload.findString("screenshotPath")).substr(0, 8), "\x89PNG\r\n\x1a\n");
    }
    // The start snapshot: the compositor's front window, the accessibility bus's roles.
    if (kind == "ax_snapshot" && !startSnapshot) {
      startSnapshot = true;
      const JsonValue snapshot = parseJson(test::readText(*payload.findString("axSnapshotPath")));
      const JsonValue expected =
          parseJson(R"({"windowTitle":"Login","focusedWindowRole":"frame","focusedElementTitle":"Query"})");
      for (const auto& [key, value] : expected.asObject()) {
        const JsonValue* found = key == "windowTitle" ? snapshot.find("app")->find(key) : snapshot.find(key);
        EXPECT_TRUE(found && *found == value) << key << " in " << writeJson(snapshot);
      }
    }
    if (kind.rfind("key_", 0) != 0 && kind.rfind("mouse_", 0) != 0) continue;
    const JsonValue* app = payload.find("app");
    ASSERT_NE(app, nullptr) << writeJson(line);
    EXPECT_EQ(*app->findString("windowTitle"), "Login");
    EXPECT_EQ(payload.find("keyCode"), nullptr) << writeJson(line);
    std::string entry = kind;
    if (const JsonValue* keysym = payload.find("keysym"))
      entry += " " + std::to_string(*keysym->asIntegral());
    if (const std::string* text = payload.findString("text")) entry += " '" + *text + "'";
    if (payload.find("redacted")) entry += " redacted";
    if (payload.find("inferred")) entry += " inferred";
    if (const JsonValue* target = payload.find("target")) {
      entry += " " + *target->findString("role");
      if (kind == "mouse_down") {
        const WindowGeometry bounds = WindowGeometry::fromJson(*target->find("bounds"));
        EXPECT_EQ(payload.find("x")->asDouble(), bounds.x + bounds.width / 2.0);
        EXPECT_EQ(payload.find("y")->asDouble(), bounds.y + bounds.height / 2.0);
        EXPECT_NEAR(payload.find("x")->asDouble(), sx, send[2] / 2.0);
        EXPECT_NEAR(payload.find("y")->asDouble(), sy, send[3] / 2.0);
        EXPECT_EQ(*target->findString("name"), "Send");
        EXPECT_EQ(*target->find("path")->asArray().front().findString("role"), "frame");
      }
    }
    seen.push_back(entry);
  }
  EXPECT_TRUE(startShot && startSnapshot);
  const std::vector<std::string> expected = {"key_down 104 'h'",
                                             "key_up 104 'h'",
                                             "key_down 105 'i'",
                                             "key_up 105 'i'",
                                             "key_down 65289",
                                             "key_up 65289",
                                             "key_down redacted password text",
                                             "key_up redacted",
                                             "key_down redacted password text",
                                             "key_up redacted",
                                             "key_down redacted password text",
                                             "key_up redacted",
                                             "mouse_down inferred push button",
                                             "mouse_up inferred"};
  EXPECT_EQ(seen, expected);
  app.stop();

  // A fresh instance, its window floated and moved: the replay follows it and presses its button.
  test::FixtureApp fresh;
  startAccessibleApp(fresh, "Login");
  test::ChildProcess move(
      {"swaymsg", "-s", sway_->swaySocket(),
       "[pid=" + std::to_string(fresh.pid()) + "] floating enable, move position 200 150"},
      test::quietChild());
  ASSERT_EQ(move.wait(), 0);
  std::optional<FrontWindow> moved;
  for (const auto until = std::chrono::steady_clock::now() + 5s;
       (!moved || !moved->geometry || moved->geometry->x == front->geometry->x) &&
       std::chrono::steady_clock::now() < until;) {
    moved = swayFrontWindow(400ms, sway_->swaySocket());
  }
  ASSERT_TRUE(moved && moved->geometry && moved->geometry->x != front->geometry->x);
  test::McpProcess replayer(DIRURI_EXECUTABLE, session());
  // The password is the skill's secret parameter, typed from its argument.
  const JsonValue replayed =
      replayer.callTool("replay_skill", {{"workspacePath", workspace.path()},
                                         {"skillId", "login"},
                                         {"speed", 0},
                                         {"arguments", JsonObject{{"secret", "Pw4"}}}});
  EXPECT_EQ(replayer.finish(), "");
  EXPECT_EQ(*replayed.findString("status"), "success") << writeJson(replayed);
  std::vector<std::string> vias;
  for (const JsonValue& step : replayed.find("steps")->asArray())
    if (const std::string* via = step.findString("via")) vias.push_back(*via);
  EXPECT_EQ(vias, std::vector<std::string>{"element"}) << writeJson(replayed);
  EXPECT_TRUE(fresh.waitFor(R"(text Query "hi")", 5s));
  EXPECT_TRUE(fresh.waitFor(R"(text Secret "Pw4")", 5s));
  EXPECT_TRUE(fresh.waitFor("pressed Send", 5s));
  EXPECT_EQ(writeJson(replayed).find("Pw4"), std::string::npos);
}

// Keys whose password field is known only after them: in one burst behind the Tab that moved the
// focus there, and into an entry that becomes a password field 300 ms after it got the focus.
TEST_F(SwaySession, KeysIntoAFieldKnownToBeSecretOnlyLateAreRedacted) {
  test::FixtureApp app;
  startAccessibleApp(app, "Login");
  WaylandEventPoster input;
  ASSERT_TRUE(input.begin());
  const auto type = [&](std::initializer_list<int64_t> keysyms, std::chrono::milliseconds gap) {
    for (const int64_t keysym : keysyms) {
      EXPECT_EQ(input.postKey(1, keysym, true), PostResult::Posted);
      EXPECT_EQ(input.postKey(1, keysym, false), PostResult::Posted);
      input.sync();
      std::this_thread::sleep_for(gap);
    }
  };
  const struct {
    const char* name;
    std::function<bool()> act;
    std::string secret;
    size_t presses;
  } cases[] = {
      {"Tab and the password in one burst",
       [&] {
         type({0xff09, 'B', 'u', 'r', 's', 't', '9', 'k', 'j'}, 0ms);
         return app.waitFor(R"(text Secret "Burst9kj")", 5s);
       },
       "Burst9kj", 9},
      {"an entry that becomes a password field 300 ms after it gets the focus",
       [&] {
         const size_t before = app.reports().size();
         if (!app.command("conceal-on-focus 300") || !app.command("focus-entry") ||
             !app.waitFor("concealed Query", 5s, before))
           return false;
         std::this_thread::sleep_for(200ms);
         type({'H', 'i', 'd', '3', 'x'}, 40ms);
         return app.waitFor(R"(text Query "Hid3x")", 5s, before);
       },
       "Hid3x", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir workspace;
    test::McpProcess recorder(DIRURI_EXECUTABLE, session());
    const JsonValue started = recorder.callTool("event_stream_start", {{"workspacePath", workspace.path()}});
    const std::string log = *started.findString("sessionPath") + "/events.jsonl";
    ASSERT_TRUE(c.act());
    const auto presses = [&] {
      std::vector<JsonValue> downs;
      for (JsonValue& line : test::readJsonLines(log))
        if (*line.findString("type") == "key_down") downs.push_back(std::move(line));
      return downs;
    };
    const std::vector<JsonValue> downs = test::pollUntil<std::vector<JsonValue>>(
        presses, [&](const std::vector<JsonValue>& d) { return d.size() >= c.presses; }, 10s);
    ASSERT_EQ(*recorder.callTool("event_stream_stop").findString("status"), "stopped");
    EXPECT_EQ(recorder.finish(), "");
    std::string typed;
    size_t redacted = 0;
    for (const JsonValue& down : downs) {
      if (const std::string* text = down.find("payload")->findString("text")) typed += *text;
      redacted += down.find("payload")->find("redacted") != nullptr;
    }
    EXPECT_EQ(typed.find_first_of(c.secret), std::string::npos) << typed;
    EXPECT_GE(redacted, c.secret.size()) << typed;
  }
  input.end();
}

// A handler that throws loses that event only: the next ones still come, and capture goes on.
TEST_F(SwaySession, AHandlerThatThrowsLosesThatEventOnly) {
  test::FixtureApp app;
  startAccessibleApp(app, "Login");
  ::setenv("SWAYSOCK", sway_->swaySocket().c_str(), 1);
  WaylandEventPoster input;
  ASSERT_TRUE(input.begin());
  WaylandFrontWindow windows;
  AtspiMeaningRecorder recorder(windows, DisplayBusAddress{});
  std::mutex mutex;
  std::vector<EventType> seen;
  int calls = 0;
  ASSERT_TRUE(recorder.start([&](const CapturedInputEvent& e) {
    std::lock_guard lock(mutex);
    if (calls++ == 0) throw std::runtime_error("the log is gone");
    seen.push_back(e.type);
  }));
  for (const int64_t keysym : {'a', 'b'}) {
    EXPECT_EQ(input.postKey(1, keysym, true), PostResult::Posted);
    EXPECT_EQ(input.postKey(1, keysym, false), PostResult::Posted);
    input.sync();
    std::this_thread::sleep_for(40ms);
  }
  ASSERT_TRUE(app.waitFor(R"(text Query "ab")", 5s));
  const std::vector<EventType> delivered = test::pollUntil<std::vector<EventType>>(
      [&] {
        std::lock_guard lock(mutex);
        return seen;
      },
      [](const std::vector<EventType>& s) { return s.size() >= 3; }, 5s);
  EXPECT_EQ(delivered, (std::vector{EventType::kKeyUp, EventType::kKeyDown, EventType::kKeyUp}));
  EXPECT_TRUE(recorder.isRunning());
  recorder.stop();
  input.end();
}

// What permission_status says in a Wayland session: everything true while it all runs, and each
// flag false when what it stands for is taken away.
TEST_F(SwaySession, PermissionsTellWhatTheSessionOffers) {
  test::TempDir workspace;
  const struct {
    const char* name;
    std::map<std::string, std::optional<std::string>> change;
    bool accessibility, screen, input;
  } cases[] = {
      {"everything running", {}, true, true, true},
      {"no accessibility bus", {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}}, false, true, false},
      {"no compositor",
       {{"WAYLAND_DISPLAY", "wayland-none"}, {"SWAYSOCK", "/nonexistent"}},
       true,
       false,
       true},
  };
  for (const auto& c : cases) {
    std::map<std::string, std::optional<std::string>> environment = session();
    for (const auto& [name, value] : c.change) environment[name] = value;
    test::McpProcess server(DIRURI_EXECUTABLE, environment);
    const JsonValue started = server.callTool("event_stream_start", {{"workspacePath", workspace.path()}});
    const JsonValue status = server.callTool("permission_status");
    EXPECT_EQ(status.find("accessibilityTrusted")->asBool(), c.accessibility) << c.name << writeJson(status);
    EXPECT_EQ(status.find("screenCaptureAllowed")->asBool(), c.screen) << c.name << writeJson(status);
    EXPECT_EQ(status.find("inputCaptureActive")->asBool(), c.input) << c.name << writeJson(status);
    server.callTool("event_stream_stop");
    EXPECT_EQ(server.finish(), "") << c.name;
  }
}

}  // namespace
}  // namespace diruri
