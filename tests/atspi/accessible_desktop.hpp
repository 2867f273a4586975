// A throwaway accessible desktop for tests and benchmarks: Xvfb, openbox, a private session bus
// with the AT-SPI bus launcher, and the small GTK application of focus_app.py.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

#include "tests/x11/x11_test_display.hpp"

namespace diruri::test {

using namespace std::chrono_literals;

// A child process with pipes on its stdin and stdout (stderr goes to /dev/null).
struct PipedChild {
  pid_t pid = -1;
  int in = -1;   // its stdin
  int out = -1;  // its stdout
  std::string pending;

  // Starts `args` with the current environment; false when it could not be started.
  bool start(const std::vector<std::string>& args) {
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return false;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
      ::close(inPipe[0]);
      ::close(inPipe[1]);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    in = inPipe[1];
    out = outPipe[0];
    if (err != 0) {
      pid = -1;
      return false;
    }
    return true;
  }

  // The next line it prints, without the newline; empty when none came before the limit.
  std::string readLine(std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const size_t end = pending.find('\n'); end != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      pollfd p{out, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(out, buf, sizeof buf);
      if (n <= 0) return {};
      pending.append(buf, static_cast<size_t>(n));
    }
  }

  void writeLine(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(in, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
  }

  void stop() {
    if (pid > 0) {
      ::kill(pid, SIGCONT);  // a stopped process would not see SIGTERM until continued
      reap(pid, SIGKILL);
    }
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    in = out = -1;
  }

  ~PipedChild() { stop(); }
};

// The GTK application of focus_app.py, started against the current environment.
class FocusApp {
 public:
  // Empty on success, else why it failed. Returns once the window is active and the entry focused.
  std::string start(const std::string& title) {
    if (!child_.start({"/usr/bin/python3", std::string(DIRURI_SOURCE_DIR) + "/tests/atspi/focus_app.py", title})) {
      return "python3 could not be started";
    }
    const std::string line = child_.readLine();
    return line == "ready" ? std::string() : "the GTK application did not get the focus (said '" + line + "')";
  }

  // Sends a command and waits for the application to confirm it.
  bool command(const std::string& command) {
    child_.writeLine(command);
    return child_.readLine() == "done " + command;
  }

  pid_t pid() const { return child_.pid; }
  void stop() { child_.stop(); }

 private:
  PipedChild child_;
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

    if (!sessionBus_.start({"dbus-daemon", "--session", "--nofork", "--print-address=1",
                            "--address=unix:dir=" + runtimeDir_})) {
      return "dbus-daemon could not be started";
    }
    sessionAddress_ = sessionBus_.readLine();
    if (sessionAddress_.empty()) return "dbus-daemon did not report its address";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionAddress_.c_str(), 1);
    launcher_ = spawnQuiet({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"});
    if (launcher_ < 0) return "at-spi-bus-launcher could not be started";
    if (!waitForAccessibilityBus()) return "the AT-SPI bus launcher did not announce its bus";
    return {};
  }

  // Ends everything it started, the daemons that detached included, and waits for them.
  void stop() {
    if (launcher_ > 0) reap(launcher_, SIGTERM);
    sessionBus_.stop();
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
  PipedChild sessionBus_;
  pid_t launcher_ = -1;
  std::string runtimeDir_;
  std::string sessionAddress_;
};

}  // namespace diruri::test
