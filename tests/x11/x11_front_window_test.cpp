// The front application read from a real X server (X11FrontWindow, through the inspector the server builds),
// with and without a window manager.
#include "core/atspi/accessibility_inspector.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/json/json_value.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/x11_inspector.hpp"
#include "tests/support/x11_test_display.hpp"
#include "tests/x11/captured_event_printing.hpp"

namespace diruri {
namespace {

std::string ownProcessName() {
  std::string name = test::readText("/proc/self/comm");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

class X11FrontWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(server_.start(), ""); }

  test::XvfbServer server_;
  test::FixedClock clock_{1767225600000, 0};  // 2026-01-01T00:00:00Z
  AccessibilityInspector inspector_ = test::x11Inspector(clock_);
};

ForegroundAppSnapshot app(std::optional<std::string> applicationId, std::string appName, int32_t pid,
                          std::optional<std::string> title) {
  return {std::move(applicationId), std::move(appName), pid, std::move(title)};
}

TEST_F(X11FrontWindowTest, WithoutWindowManagerFollowsTheFocusUpToTheTopLevelWindow) {
  test::TestClient client(server_.display());
  EXPECT_EQ(inspector_.foregroundSnapshot(), std::nullopt) << "nothing focused yet";

  const xcb_window_t top = client.createWindow(test::WindowProps()
                                                   .withClass("editor", "Texteditor")
                                                   .withNetWmName("notes.txt \xE2\x80\x94 Editor")
                                                   .withPid(4242));
  // The focus is on a child, as GTK puts it.
  const xcb_window_t inner = client.createWindow(test::WindowProps().childOf(top));
  const xcb_window_t innermost = client.createWindow(test::WindowProps().childOf(inner));
  client.focus(innermost);
  EXPECT_EQ(inspector_.foregroundSnapshot(),
            app("Texteditor", "Texteditor", 4242, "notes.txt \xE2\x80\x94 Editor"));

  client.focus(top);
  EXPECT_EQ(inspector_.foregroundSnapshot(),
            app("Texteditor", "Texteditor", 4242, "notes.txt \xE2\x80\x94 Editor"));
}

TEST_F(X11FrontWindowTest, WithOpenboxTheActiveWindowIsTheFrontApplication) {
  ASSERT_TRUE(server_.startOpenbox());
  test::TestClient client(server_.display());
  const xcb_window_t first = client.createWindow(
      test::WindowProps().withClass("one", "First").withNetWmName("First window").withPid(111));
  ASSERT_TRUE(client.activate(first));
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("First", "First", 111, "First window"));

  const xcb_window_t second = client.createWindow(test::WindowProps()
                                                      .withClass("two", "Second")
                                                      .withWmName("Second window")
                                                      .withPid(222)
                                                      .withAppId("org.example.Second"));
  ASSERT_TRUE(client.activate(second));
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("org.example.Second", "Second", 222, "Second window"));
}

// After a window manager exits, _NET_ACTIVE_WINDOW can name a window that is gone.
TEST_F(X11FrontWindowTest, StaleActiveWindowFallsBackToTheFocus) {
  ASSERT_TRUE(server_.startOpenbox());
  test::TestClient client(server_.display());
  const xcb_window_t managed = client.createWindow(test::WindowProps().withClass("", "Managed").withPid(5));
  ASSERT_TRUE(client.activate(managed));
  server_.stopOpenbox();
  client.destroy(managed);
  EXPECT_EQ(inspector_.foregroundSnapshot(), std::nullopt);

  const xcb_window_t survivor = client.createWindow(test::WindowProps().withClass("", "Survivor").withPid(6));
  client.focus(survivor);
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Survivor", "Survivor", 6, std::nullopt));

  // The same with a stale name set by hand, and no window manager ever involved.
  const xcb_window_t gone = client.createWindow(test::WindowProps().withClass("", "Gone").withPid(7));
  client.setActiveWindowProperty(gone);
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Gone", "Gone", 7, std::nullopt));
  client.destroy(gone);
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Survivor", "Survivor", 6, std::nullopt));
}

// Answers are reused while the front window is unchanged; every change must show at once.
TEST_F(X11FrontWindowTest, ChangesToTheFrontWindowShowInTheVeryNextAnswer) {
  ASSERT_TRUE(server_.startOpenbox());
  test::TestClient client(server_.display());
  const xcb_window_t first =
      client.createWindow(test::WindowProps().withClass("a", "First").withNetWmName("one").withPid(1));
  ASSERT_TRUE(client.activate(first));
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("First", "First", 1, "one"));
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("First", "First", 1, "one"));

  const xcb_atom_t netWmName = test::internAtom(client.conn(), "_NET_WM_NAME");
  const xcb_atom_t utf8 = test::internAtom(client.conn(), "UTF8_STRING");
  client.setProperty(first, netWmName, utf8, "two");
  client.sync();
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("First", "First", 1, "two"));
  client.setProperty(first, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, std::string("a\0Renamed\0", 10));
  client.sync();
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Renamed", "Renamed", 1, "two"));

  // Another window in front, a change to the first meanwhile, then the first again.
  const xcb_window_t second = client.createWindow(test::WindowProps().withClass("b", "Second").withPid(2));
  ASSERT_TRUE(client.activate(second));
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Second", "Second", 2, std::nullopt));
  client.setProperty(first, netWmName, utf8, "three");
  ASSERT_TRUE(client.activate(first));
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Renamed", "Renamed", 1, "three"));

  // Without the window manager, a focused top-level window is watched the same way.
  server_.stopOpenbox();
  client.destroy(first);
  client.destroy(second);
  const xcb_window_t bare = client.createWindow(test::WindowProps().withClass("c", "Bare").withPid(3));
  client.focus(bare);
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Bare", "Bare", 3, std::nullopt));
  client.setProperty(bare, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, "titled");
  client.sync();
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Bare", "Bare", 3, "titled"));
  // Reparented under another window, it is no longer the top-level one.
  const xcb_window_t holder = client.createWindow(test::WindowProps().withClass("h", "Holder").withPid(4));
  xcb_reparent_window(client.conn(), bare, holder, 0, 0);
  client.focus(bare);
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("Holder", "Holder", 4, std::nullopt));
}

TEST_F(X11FrontWindowTest, NamesFallBackFromClassToProcessNameToBundleToUnknown) {
  test::TestClient client(server_.display());
  const auto show = [&](const test::WindowProps& props) {
    client.focus(client.createWindow(props));
    return inspector_.foregroundSnapshot();
  };
  // No WM_CLASS: the process's own name, from the pid.
  EXPECT_EQ(show(test::WindowProps().withPid(static_cast<uint32_t>(getpid()))),
            app(std::nullopt, ownProcessName(), getpid(), std::nullopt));
  // No WM_CLASS and no such process: the application id.
  EXPECT_EQ(show(test::WindowProps().withPid(0x7ffffff0).withAppId("org.example.App")),
            app("org.example.App", "org.example.App", 0x7ffffff0, std::nullopt));
  // Nothing at all; the process is still known to the server (X-Resource), and it is this one.
  const auto bare = show(test::WindowProps());
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->processId, getpid());
  EXPECT_EQ(bare->appName, ownProcessName());
  EXPECT_EQ(bare->applicationId, std::nullopt);
  // An empty class name counts as none.
  EXPECT_EQ(show(test::WindowProps().withClass("x", "").withPid(0x7ffffff0)),
            app(std::nullopt, "Unknown", 0x7ffffff0, std::nullopt));
}

TEST_F(X11FrontWindowTest, TitlesInEveryEncodingArriveAsValidUtf8) {
  test::TestClient client(server_.display());
  const auto title = [&](test::WindowProps props) {
    props.className = "T";
    client.focus(client.createWindow(props));
    auto s = inspector_.foregroundSnapshot();
    return s ? s->windowTitle : std::optional<std::string>("<no app>");
  };
  EXPECT_EQ(title(test::WindowProps().withNetWmName("ok \xF0\x9F\x98\x80").withWmName("ignored")),
            "ok \xF0\x9F\x98\x80");
  EXPECT_EQ(title(test::WindowProps().withNetWmName("bad \xC3(").withWmName("ignored")), "bad \xEF\xBF\xBD(");
  EXPECT_EQ(title(test::WindowProps().withNetWmName("")), "");
  EXPECT_EQ(title(test::WindowProps().withWmName("caf\xE9 \\ /")), "caf\xC3\xA9 \\ /");
  EXPECT_EQ(title(test::WindowProps().withWmName("xterm \x1b-A\xE9\x1b$(B\x30\x21", "COMPOUND_TEXT")),
            "xterm \xC3\xA9\xEF\xBF\xBD");
  EXPECT_EQ(title(test::WindowProps().withWmName("\xE2\x82\xAC", "UTF8_STRING")), "\xE2\x82\xAC");
  EXPECT_EQ(title(test::WindowProps()), std::nullopt);
  // WM_CLASS is Latin-1 too.
  client.focus(client.createWindow(test::WindowProps().withClass("i", "Caf\xE9")));
  EXPECT_EQ(inspector_.foregroundSnapshot()->appName, "Caf\xC3\xA9");
}

TEST_F(X11FrontWindowTest, ServerGoneMeansNoneAndANewServerIsFoundAgain) {
  {
    test::TestClient client(server_.display());
    client.focus(client.createWindow(test::WindowProps().withClass("", "Before").withPid(1)));
    EXPECT_EQ(inspector_.foregroundSnapshot(), app("Before", "Before", 1, std::nullopt));
  }
  const std::string display = server_.display();
  server_.kill();
  EXPECT_EQ(inspector_.foregroundSnapshot(), std::nullopt);
  EXPECT_EQ(inspector_.accessibilitySnapshot(), std::nullopt);

  test::XvfbServer next;
  ASSERT_EQ(next.start(), "");
  test::TestClient client(next.display());
  client.focus(client.createWindow(test::WindowProps().withClass("", "After").withPid(2)));
  EXPECT_EQ(inspector_.foregroundSnapshot(), app("After", "After", 2, std::nullopt));
}

TEST_F(X11FrontWindowTest, SnapshotIsTheFrontWindowsApplicationAtTheClocksTime) {
  test::TestClient client(server_.display());
  client.focus(
      client.createWindow(test::WindowProps().withClass("", "Files").withNetWmName("a/b").withPid(77)));
  const auto snapshot = inspector_.accessibilitySnapshot();
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->app, app("Files", "Files", 77, "a/b"));
  EXPECT_EQ(snapshot->capturedAt, "2026-01-01T00:00:00Z");
  EXPECT_EQ(snapshot->focusedWindowRole, std::nullopt);
  EXPECT_EQ(snapshot->focusedElementRole, std::nullopt);
}

TEST(X11FrontWindowWithoutDisplay, ReportsNoFrontApplication) {
  ::unsetenv("DISPLAY");
  test::FixedClock clock{0, 0};
  AccessibilityInspector inspector = test::x11Inspector(clock);
  EXPECT_EQ(inspector.foregroundSnapshot(), std::nullopt);
  EXPECT_EQ(inspector.accessibilitySnapshot(), std::nullopt);
}

}  // namespace
}  // namespace diruri
