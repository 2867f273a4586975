// What a Wayland session tells about itself and gives: the compositor's interfaces, the front
// window from the sway IPC, and a screenshot through the screen copy; on a headless sway run as an
// unprivileged user, with the tests' GTK application as a native Wayland client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "core/wayland/sway_ipc.hpp"
#include "core/wayland/wayland_event_poster.hpp"
#include "core/wayland/wayland_globals.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/headless_sway.hpp"

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
  }
  static void TearDownTestSuite() {
    delete sway_;
    sway_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(failure_, "");
    ::setenv("XDG_RUNTIME_DIR", sway_->runtimeDir().c_str(), 1);
    ::setenv("WAYLAND_DISPLAY", sway_->waylandDisplay().c_str(), 1);
  }

  static test::HeadlessSway* sway_;
  static std::string failure_;
};

test::HeadlessSway* SwaySession::sway_ = nullptr;
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
                             front->geometry->y + send[1] + send[3] / 2, true),
            PostResult::Posted);
  EXPECT_EQ(poster.postMouse(front->geometry->x + send[0] + send[2] / 2,
                             front->geometry->y + send[1] + send[3] / 2, false),
            PostResult::Posted);
  EXPECT_TRUE(app.waitFor("pressed Send", 5s));
  EXPECT_EQ(poster.postMouse(-1, 5, true), PostResult::Inexpressible);
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
  test::ChildProcess child({helper, dir / "shot.png"}, options);
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

}  // namespace
}  // namespace diruri
