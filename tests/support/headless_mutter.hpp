// A throwaway GNOME compositor for tests: mutter headless with one virtual monitor, on a private
// session bus with PipeWire beside it (its screen-cast streams need it).
#pragma once

#include <optional>
#include <string>

#include "tests/support/accessible_desktop.hpp"
#include "tests/support/child_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri::test {

// Sets XDG_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS for this process, so that what it starts next
// (the tests' application, the server) finds them.
class HeadlessMutter {
 public:
  HeadlessMutter() = default;
  HeadlessMutter(const HeadlessMutter&) = delete;
  HeadlessMutter& operator=(const HeadlessMutter&) = delete;
  ~HeadlessMutter() { stop(); }

  // Empty on success, else why it failed. Returns once the Wayland socket accepts connections and
  // the remote-desktop service answers.
  std::string start();
  void stop();

  const std::string& waylandDisplay() const { return display_; }

 private:
  std::optional<TempDir> runtimeDir_;
  std::optional<ChildProcess> bus_;
  std::optional<ChildProcess> pipewire_;
  std::optional<ChildProcess> mutter_;
  std::string display_ = "diruri-mutter";
};

// GNOME Shell headless, the desktop as its users have it: on a private, empty system bus and a
// session bus with the accessibility bus, PipeWire and WirePlumber (which links screen-cast
// streams) beside it. Sets XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, DBUS_SYSTEM_BUS_ADDRESS and
// WAYLAND_DISPLAY for this process. The shell starts in its overview; `leaveOverview` leaves it.
class HeadlessGnomeShell {
 public:
  HeadlessGnomeShell() = default;
  HeadlessGnomeShell(const HeadlessGnomeShell&) = delete;
  HeadlessGnomeShell& operator=(const HeadlessGnomeShell&) = delete;
  ~HeadlessGnomeShell() { stop(); }

  // Empty on success, else why it failed. Returns once the shell answers on the session bus.
  std::string start();
  void stop();

  const std::string& waylandDisplay() const { return display_; }
  // Takes the shell away (and with it its screen-cast service), or the accessibility bus.
  void stopShell() { shell_.reset(); }
  void stopAccessibilityBus() { accessibility_.stop(); }

 private:
  std::optional<TempDir> runtimeDir_;
  std::optional<ChildProcess> systemBus_;
  AccessibilityBus accessibility_;
  std::optional<ChildProcess> pipewire_;
  std::optional<ChildProcess> wireplumber_;
  std::optional<ChildProcess> shell_;
  int lock_ = -1;  // one shell at a time on this machine: two starting together starve each other
  std::string display_ = "diruri-gnome";
};

}  // namespace diruri::test
