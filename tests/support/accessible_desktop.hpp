// A throwaway accessible desktop for tests and benchmarks: Xvfb, openbox, a private session bus
// with the AT-SPI bus launcher, and the small GTK application of tests/support/fixture_app.py.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/x11_test_display.hpp"

namespace diruri::test {

// The GTK application of fixture_app.py, started against the current environment.
class FixtureApp {
 public:
  // Empty on success, else why it failed. Returns once the window is active and the entry focused.
  std::string start(const std::string& title);
  // Sends a command and waits for the application to confirm it.
  bool command(const std::string& command);
  // Waits until the application has reported `report` (a line such as "pressed Send"), which may
  // have come already (as report number `from` or later); false when it does not come before the limit.
  bool waitFor(const std::string& report, std::chrono::milliseconds limit = std::chrono::seconds(20),
               size_t from = 0);
  // Where a widget lies: x, y, width and height in root coordinates (four zeros when not answered).
  std::vector<int> where(const std::string& widget);
  // Where a menu or list item with this text lies while it is shown; four zeros when it is not.
  std::vector<int> whereItem(const std::string& text);
  // A click in the middle of the widget, through xdotool: an input source independent of this code.
  bool clickOn(const std::string& widget);
  // Everything the application reported so far, in order (its answers to commands left out).
  const std::vector<std::string>& reports() const { return reports_; }

  pid_t pid() const { return child_ ? child_->pid() : -1; }
  void stop() { child_.reset(); }

 private:
  std::vector<int> locate(const std::string& question, const std::string& widget);

  std::optional<ChildProcess> child_;
  std::vector<std::string> reports_;
};

// Runs xdotool with these arguments; true when it succeeded.
bool xdotool(std::vector<std::string> args);

// Ends the children this process has left, the detached daemons reparented to it included: SIGTERM,
// then SIGKILL for what is still there after five seconds, and waits for them.
void endAllChildren();

// A private session bus with its socket in `dir`; sets DBUS_SESSION_BUS_ADDRESS for this process.
// Empty on success, else why it failed.
std::string startSessionBus(std::optional<ChildProcess>& bus, const std::string& dir);

// A private session bus in `runtimeDir` with the AT-SPI bus launcher; sets XDG_RUNTIME_DIR (to
// `runtimeDir`) and DBUS_SESSION_BUS_ADDRESS for this process, and makes it the reaper of the
// daemons the launcher detaches (the accessibility bus, the registry): endAllChildren() ends them and so for
// the programs it starts. Without a display, start() returns once the launcher tells the accessibility bus's
// address.
class AccessibilityBus {
 public:
  AccessibilityBus() = default;
  AccessibilityBus(const AccessibilityBus&) = delete;
  AccessibilityBus& operator=(const AccessibilityBus&) = delete;
  ~AccessibilityBus() { stop(); }

  // Empty on success, else why it failed.
  std::string start(const std::string& runtimeDir, bool waitForAddress);
  void stop();

 private:
  std::optional<ChildProcess> sessionBus_;
  std::optional<ChildProcess> launcher_;
};

// Xvfb and openbox, and a private session bus whose AT-SPI bus launcher has put its address on the
// root window. Sets DISPLAY, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR and
// GSETTINGS_BACKEND for this process and so for the programs it starts. This process becomes the
// reaper of the daemons that detach from their parents, so that stop() can end them all.
class AccessibleDesktop {
 public:
  AccessibleDesktop() = default;
  AccessibleDesktop(const AccessibleDesktop&) = delete;
  AccessibleDesktop& operator=(const AccessibleDesktop&) = delete;
  ~AccessibleDesktop() { stop(); }

  // Empty on success, else why it failed.
  std::string start();
  // Ends everything it started, the daemons that detached included, and waits for them.
  void stop();

  const std::string& display() const { return x_.display(); }

 private:
  // The launcher puts AT_SPI_BUS on the root window once its bus accepts connections.
  bool waitForAccessibilityBus();

  XvfbServer x_;
  AccessibilityBus bus_;
  std::optional<TempDir> runtimeDir_;
};

}  // namespace diruri::test
