// A GNOME session as its users have it, headless: what the accessibility bus tells of its windows.
#include <gtest/gtest.h>

#include <cstdlib>

#include "core/atspi/atspi_front_window.hpp"
#include "core/wayland/mutter_remote_desktop.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/headless_mutter.hpp"
#include "tests/support/poll_until.hpp"

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

  test::HeadlessGnomeShell shell_;
  MutterRemoteDesktopPoster keys_;
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

}  // namespace
}  // namespace diruri
