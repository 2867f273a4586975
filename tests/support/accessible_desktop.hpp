// A throwaway accessible desktop for tests and benchmarks: Xvfb, openbox, a private session bus
// with the AT-SPI bus launcher, and the small GTK application of focus_app.py.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/x11_test_display.hpp"

namespace diruri::test {

using namespace std::chrono_literals;

// The GTK application of focus_app.py, started against the current environment.
class FocusApp {
 public:
  // Empty on success, else why it failed. Returns once the window is active and the entry focused.
  std::string start(const std::string& title) {
    ChildOptions options;
    options.err = ChildStream::Null;
    try {
      child_.emplace(std::vector<std::string>{"/usr/bin/python3",
                                              std::string(DIRURI_SOURCE_DIR) + "/tests/atspi/focus_app.py", title},
                     options);
    } catch (const std::system_error&) {
      return "python3 could not be started";
    }
    const std::string line = child_->readLine(20s).value_or("");
    return line == "ready" ? std::string() : "the GTK application did not get the focus (said '" + line + "')";
  }

  // Sends a command and waits for the application to confirm it.
  bool command(const std::string& command) {
    return child_ && child_->write(command + "\n") && child_->readLine(20s) == "done " + command;
  }

  pid_t pid() const { return child_ ? child_->pid() : -1; }
  void stop() { child_.reset(); }

 private:
  std::optional<ChildProcess> child_;
};

// Xvfb and openbox, and unless asked otherwise a private session bus whose AT-SPI bus launcher has
// put its address on the root window. Sets DISPLAY, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR and
// GSETTINGS_BACKEND for this process and so for the programs it starts. This process becomes the
// reaper of the daemons that detach from their parents, so that stop() can end them all.
class AccessibleDesktop {
 public:
  AccessibleDesktop() = default;
  AccessibleDesktop(const AccessibleDesktop&) = delete;
  AccessibleDesktop& operator=(const AccessibleDesktop&) = delete;
  ~AccessibleDesktop() { stop(); }

  // Empty on success, else why it failed.
  std::string start(bool withAccessibilityBus = true) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (std::string error = x_.start(); !error.empty()) return error;
    if (!x_.startOpenbox()) return "openbox did not start";
    char runtime[] = "/tmp/diruri-atspi-XXXXXX";
    if (::mkdtemp(runtime) == nullptr) return "no temporary directory";
    runtimeDir_ = runtime;
    ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    ::unsetenv("NO_AT_BRIDGE");
    ::unsetenv("AT_SPI_BUS_ADDRESS");
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!withAccessibilityBus) return {};

    ChildOptions busOptions = quietChild();
    busOptions.out = ChildStream::Pipe;
    try {
      sessionBus_.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1",
                                                   "--address=unix:dir=" + runtimeDir_},
                          busOptions);
    } catch (const std::system_error&) {
      return "dbus-daemon could not be started";
    }
    sessionAddress_ = sessionBus_->readLine(20s).value_or("");
    if (sessionAddress_.empty()) return "dbus-daemon did not report its address";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionAddress_.c_str(), 1);
    try {
      launcher_.emplace(std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"},
                        quietChild());
    } catch (const std::system_error&) {
      return "at-spi-bus-launcher could not be started";
    }
    if (!waitForAccessibilityBus()) return "the AT-SPI bus launcher did not announce its bus";
    return {};
  }

  // Ends everything it started, the daemons that detached included, and waits for them.
  void stop() {
    if (launcher_) launcher_->stop(SIGTERM);
    launcher_.reset();
    sessionBus_.reset();
    x_.stop();
    // What is left are detached daemons (the registry, the accessibility bus) reparented to us.
    for (int round = 0; round < 2; ++round) {
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      for (pid_t orphan : childrenOf(::getpid())) ::kill(orphan, round == 0 ? SIGTERM : SIGKILL);
      while (!childrenOf(::getpid()).empty() && std::chrono::steady_clock::now() < deadline) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        ::usleep(10000);  // polled against the deadline: orphans give no other signal of their end
      }
      if (childrenOf(::getpid()).empty()) break;
    }
    if (!runtimeDir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(runtimeDir_, ignored);
      runtimeDir_.clear();
    }
  }

  const std::string& display() const { return x_.display(); }
  const std::string& runtimeDir() const { return runtimeDir_; }
  const std::string& sessionAddress() const { return sessionAddress_; }
  XvfbServer& x() { return x_; }

 private:
  // The launcher puts AT_SPI_BUS on the root window once its bus accepts connections.
  bool waitForAccessibilityBus() {
    xcb_connection_t* c = xcb_connect(x_.display().c_str(), nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t atom = internAtom(c, "AT_SPI_BUS");
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    bool found = false;
    while (!found) {
      XReply<xcb_get_property_reply_t> p(xcb_get_property_reply(
          c, xcb_get_property(c, 0, root, atom, XCB_ATOM_STRING, 0, 1024), nullptr));
      found = p && xcb_get_property_value_length(p.get()) > 0;
      if (!found && !waitForEvent(c, deadline)) break;
    }
    xcb_disconnect(c);
    return found;
  }

  XvfbServer x_;
  std::optional<ChildProcess> sessionBus_;
  std::optional<ChildProcess> launcher_;
  std::string runtimeDir_;
  std::string sessionAddress_;
};

}  // namespace diruri::test
