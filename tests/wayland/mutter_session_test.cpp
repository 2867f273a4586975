// Replay's input on GNOME: the compositor's remote-desktop service, taken when no virtual input
// protocol is offered; on a headless mutter with the tests' GTK application as a native client.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/replay/first_reachable_poster.hpp"
#include "core/wayland/mutter_remote_desktop.hpp"
#include "core/wayland/wayland_event_poster.hpp"
#include "core/wayland/wayland_front_window.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/headless_mutter.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;

TEST(MutterSession, RemoteDesktopTypesAndClicksIntoANativeApplication) {
  test::HeadlessMutter mutter;
  ASSERT_EQ(mutter.start(), "");
  ::setenv("WAYLAND_DISPLAY", mutter.waylandDisplay().c_str(), 1);
  ::setenv("GDK_BACKEND", "wayland", 1);
  ::setenv("NO_AT_BRIDGE", "1", 1);
  ::setenv("FIXTURE_NO_KEYBOARD", "1", 1);
  ::unsetenv("DISPLAY");
  ::unsetenv("SWAYSOCK");
  // This compositor tells its clients nothing about windows: a replay will not wait for them.
  EXPECT_FALSE(WaylandFrontWindow().knowsFrontWindow());
  test::FixtureApp app;
  ASSERT_EQ(app.start("Remote Target"), "");
  ASSERT_TRUE(app.command("fullscreen"));  // its place inside its window is then its place on the screen

  std::vector<std::unique_ptr<EventPoster>> routes;
  routes.push_back(std::make_unique<WaylandEventPoster>());
  routes.push_back(std::make_unique<MutterRemoteDesktopPoster>());
  FirstReachablePoster poster(std::move(routes));
  ASSERT_TRUE(poster.begin());
  for (const int64_t keysym : {0x48, 0x69}) {  // "H", "i"
    EXPECT_EQ(poster.postKey(0, keysym, true), PostResult::Posted);
    EXPECT_EQ(poster.postKey(0, keysym, false), PostResult::Posted);
  }
  poster.sync();
  EXPECT_TRUE(app.waitFor(R"(text Query "Hi")", 5s));
  const std::vector<int> send = app.where("Send");
  EXPECT_EQ(poster.postMouse(send[0] + send[2] / 2, send[1] + send[3] / 2, true, 1), PostResult::Posted);
  EXPECT_EQ(poster.postMouse(send[0] + send[2] / 2, send[1] + send[3] / 2, false, 1), PostResult::Posted);
  EXPECT_TRUE(app.waitFor("pressed Send", 5s));
  EXPECT_EQ(poster.postMouse(2000, 10, true, 1), PostResult::Inexpressible);  // beyond the monitor
  EXPECT_EQ(poster.postKey(30, std::nullopt, true), PostResult::Inexpressible);
  poster.end();

  // Without the service (another session bus), neither route begins.
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  MutterRemoteDesktopPoster unreachable;
  EXPECT_FALSE(unreachable.begin());
  unreachable.end();
}

// The route needs libdbus alone, so it is taken where libatspi is not installed.
TEST(MutterSession, LoadsLibdbusButNeverLibatspi) {
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  MutterRemoteDesktopPoster unreachable;
  EXPECT_FALSE(unreachable.begin());
  void* dbus = ::dlopen("libdbus-1.so.3", RTLD_LAZY | RTLD_NOLOAD);
  EXPECT_NE(dbus, nullptr);
  if (dbus != nullptr) ::dlclose(dbus);
  EXPECT_EQ(::dlopen("libatspi.so.0", RTLD_LAZY | RTLD_NOLOAD), nullptr);
}

}  // namespace
}  // namespace diruri
