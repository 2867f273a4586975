// The accessible desktop's processes: started in order, and ended with every daemon they detached.
#include "tests/support/accessible_desktop.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

namespace diruri::test {

using namespace std::chrono_literals;

// Ends the children this process has left, the detached daemons reparented to it included: SIGTERM,
// then SIGKILL for what is still there after five seconds. Their ends are waited for on pidfds,
// since an orphan gives no other sign of its end.
void endAllChildren() {
  for (const int signal : {SIGTERM, SIGKILL}) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
      while (::waitpid(-1, nullptr, WNOHANG) > 0) {
      }
      const std::vector<pid_t> children = childrenOf(::getpid());
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (children.empty() || left.count() <= 0) break;
      std::vector<pollfd> ends;
      for (const pid_t child : children) {
        ::kill(child, signal);
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
        if (fd >= 0) ends.push_back({fd, POLLIN, 0});
      }
      ::poll(ends.data(), ends.size(), static_cast<int>(left.count()));
      for (const pollfd& end : ends) ::close(end.fd);
    }
  }
}

std::string FixtureApp::start(const std::string& title) {
  ChildOptions options;
  options.err = ChildStream::Null;
  try {
    child_.emplace(
        std::vector<std::string>{"/usr/bin/python3",
                                 std::string(DIRURI_SOURCE_DIR) + "/tests/support/fixture_app.py", title},
        options);
  } catch (const std::system_error&) {
    return "python3 could not be started";
  }
  const std::string line = child_->readLine(20s).value_or("");
  return line == "ready" ? std::string() : "the GTK application did not get the focus (said '" + line + "')";
}

std::vector<int> FixtureApp::where(const std::string& widget) { return locate("where " + widget, widget); }

std::vector<int> FixtureApp::whereItem(const std::string& text) { return locate("where-item " + text, text); }

std::vector<int> FixtureApp::locate(const std::string& question, const std::string& widget) {
  std::vector<int> box;
  if (command(question)) {
    for (auto it = reports_.rbegin(); it != reports_.rend(); ++it) {
      if (it->rfind("at " + widget + " ", 0) != 0) continue;
      std::istringstream in(it->substr(4 + widget.size()));
      for (int v; in >> v;) box.push_back(v);
      break;
    }
  }
  box.resize(4);
  return box;
}

bool FixtureApp::clickOn(const std::string& widget) {
  const std::vector<int> box = where(widget);
  return box[2] > 0 && xdotool({"mousemove", std::to_string(box[0] + box[2] / 2),
                                std::to_string(box[1] + box[3] / 2), "click", "1"});
}

bool xdotool(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  return runQuietly(args) == 0;
}

bool FixtureApp::command(const std::string& command) {
  if (!child_ || !child_->write(command + "\n")) return false;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const std::optional<std::string> line = child_->readLine(std::max(left, 0ms));
    if (!line) return false;
    if (*line == "done " + command) return true;
    if (line->rfind("done ", 0) != 0) reports_.push_back(*line);
  }
}

bool FixtureApp::waitFor(const std::string& report, std::chrono::milliseconds limit, size_t from) {
  if (std::find(reports_.begin() + static_cast<std::ptrdiff_t>(std::min(from, reports_.size())),
                reports_.end(), report) != reports_.end()) {
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (child_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const std::optional<std::string> line = child_->readLine(std::max(left, 0ms));
    if (!line) return false;
    if (line->rfind("done ", 0) != 0) reports_.push_back(*line);
    if (*line == report) return true;
  }
  return false;
}

std::string AccessibleDesktop::start() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (std::string error = x_.start(); !error.empty()) return error;
  if (!x_.startOpenbox()) return "openbox did not start";
  try {
    runtimeDir_.emplace();
  } catch (const std::exception&) {
    return "no temporary directory";
  }
  ::setenv("XDG_RUNTIME_DIR", runtimeDir_->path().c_str(), 1);
  ::setenv("GSETTINGS_BACKEND", "memory", 1);
  if (std::string error = bus_.start(runtimeDir_->path(), false); !error.empty()) return error;
  if (!waitForAccessibilityBus()) return "the AT-SPI bus launcher did not announce its bus";
  return {};
}

std::string startSessionBus(std::optional<ChildProcess>& bus, const std::string& dir) {
  ChildOptions options = quietChild();
  options.out = ChildStream::Pipe;
  try {
    bus.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1",
                                         "--address=unix:dir=" + dir},
                options);
  } catch (const std::system_error&) {
    return "dbus-daemon could not be started";
  }
  const std::string address = bus->readLine(20s).value_or("");
  if (address.empty()) return "dbus-daemon did not report its address";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  return {};
}

std::string AccessibilityBus::start(const std::string& runtimeDir, bool waitForAddress) {
  // The launcher puts its bus's socket there: tests running side by side must not share one.
  ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  ::unsetenv("NO_AT_BRIDGE");
  ::unsetenv("AT_SPI_BUS_ADDRESS");
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  if (std::string error = startSessionBus(sessionBus_, runtimeDir); !error.empty()) return error;
  try {
    launcher_.emplace(std::vector<std::string>{"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"},
                      quietChild());
  } catch (const std::system_error&) {
    return "at-spi-bus-launcher could not be started";
  }
  for (const auto until = std::chrono::steady_clock::now() + 20s; waitForAddress;) {
    ChildProcess ask({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                      "org.a11y.Bus.GetAddress"},
                     quietChild());
    if (ask.wait() == 0) break;
    if (std::chrono::steady_clock::now() > until) return "the AT-SPI bus launcher did not answer";
    std::this_thread::sleep_for(50ms);
  }
  return {};
}

void AccessibilityBus::stop() {
  if (launcher_) launcher_->stop(SIGTERM);
  launcher_.reset();
  sessionBus_.reset();
}

void AccessibleDesktop::stop() {
  bus_.stop();
  x_.stop();
  // What is left are detached daemons (the registry, the accessibility bus) reparented to us.
  endAllChildren();
  runtimeDir_.reset();
}

bool AccessibleDesktop::waitForAccessibilityBus() {
  const X11Connection connection(x_.display().c_str());
  if (!connection.ok()) return false;
  xcb_connection_t* c = connection.get();
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, connection.root(), XCB_CW_EVENT_MASK, &mask);
  const xcb_atom_t atom = internAtom(c, "AT_SPI_BUS");
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (;;) {
    XcbReply<xcb_get_property_reply_t> p(xcb_get_property_reply(
        c, xcb_get_property(c, 0, connection.root(), atom, XCB_ATOM_STRING, 0, 1024), nullptr));
    if (p && xcb_get_property_value_length(p.get()) > 0) return true;
    if (!waitForEvent(c, deadline)) return false;
  }
}

}  // namespace diruri::test
