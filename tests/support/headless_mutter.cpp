// mutter with its headless back end: its session bus, PipeWire, and the wait for both its sockets.
#include "tests/support/headless_mutter.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "tests/support/accessible_desktop.hpp"
#include "tests/support/poll_until.hpp"

namespace diruri::test {

using namespace std::chrono_literals;

namespace {

// Whether, within `limit`, the compositor's Wayland socket in `dir` is there and `question` (a
// dbus-send to one of its services) is answered.
bool comesUp(const std::string& socket, const std::vector<std::string>& question,
             std::chrono::seconds limit) {
  for (const auto until = std::chrono::steady_clock::now() + limit;; std::this_thread::sleep_for(50ms)) {
    if (std::filesystem::exists(socket) && ChildProcess(question, quietChild()).wait() == 0) return true;
    if (std::chrono::steady_clock::now() > until) return false;
  }
}

}  // namespace

std::string HeadlessMutter::start() {
  try {
    runtimeDir_.emplace();
  } catch (const std::exception&) {
    return "no temporary directory";
  }
  const std::string dir = runtimeDir_->path();
  ::chmod(dir.c_str(), 0700);
  ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  if (std::string error = startSessionBus(bus_, dir); !error.empty()) return error;
  ChildOptions options = quietChild();
  options.environment = {
      {"GSETTINGS_BACKEND", "memory"}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
  try {
    pipewire_.emplace(std::vector<std::string>{"pipewire"}, options);
    mutter_.emplace(
        std::vector<std::string>{"mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor",
                                 "1024x768", "--wayland-display=" + display_},
        options);
  } catch (const std::system_error&) {
    return "pipewire or mutter could not be started";
  }
  const bool up = comesUp(dir + "/" + display_,
                          {"dbus-send", "--session", "--print-reply", "--dest=org.gnome.Mutter.RemoteDesktop",
                           "/org/gnome/Mutter/RemoteDesktop", "org.freedesktop.DBus.Properties.GetAll",
                           "string:org.gnome.Mutter.RemoteDesktop"},
                          20s);
  return up ? "" : "mutter did not come up";
}

void HeadlessMutter::stop() {
  mutter_.reset();
  pipewire_.reset();
  bus_.reset();
  runtimeDir_.reset();
}

std::string HeadlessGnomeShell::start() {
  lock_ = ::open("/tmp/diruri-headless-gnome-shell.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (lock_ < 0 || ::flock(lock_, LOCK_EX) != 0) return "the shells' lock cannot be taken";
  try {
    runtimeDir_.emplace();
  } catch (const std::exception&) {
    return "no temporary directory";
  }
  const std::string dir = runtimeDir_->path();
  ::chmod(dir.c_str(), 0700);
  // The shell asks the system bus for what a login brings (accounts, power, the display manager);
  // an empty one answers that none of it is there.
  {
    std::ofstream config(dir + "/system-bus.conf");
    config << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\" "
              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>system</type><listen>unix:path="
           << dir << "/system-bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           << "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/><allow "
              "user=\"*\"/></policy></busconfig>\n";
  }
  try {
    systemBus_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork", "--nopidfile",
                                                "--config-file=" + dir + "/system-bus.conf"},
                       quietChild());
  } catch (const std::system_error&) {
    return "the system bus could not be started";
  }
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir + "/system-bus").c_str(), 1);
  if (std::string error = accessibility_.start(dir, true); !error.empty()) return error;
  ChildOptions options = quietChild();
  options.environment = {
      {"GSETTINGS_BACKEND", "memory"}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}};
  try {
    pipewire_.emplace(std::vector<std::string>{"pipewire"}, options);
    // WirePlumber gives up at once when PipeWire's socket is not there yet, and without it no
    // screen cast's stream is ever linked.
    const std::string socket = dir + "/pipewire-0";
    if (!pollUntil<bool>([&] { return std::filesystem::exists(socket); }, [](bool there) { return there; },
                         20s))
      return "pipewire did not come up";
    wireplumber_.emplace(std::vector<std::string>{"wireplumber"}, options);
    shell_.emplace(std::vector<std::string>{"gnome-shell", "--headless", "--wayland", "--no-x11",
                                            "--virtual-monitor", "1280x800", "--wayland-display=" + display_},
                   options);
  } catch (const std::system_error&) {
    return "pipewire, wireplumber or gnome-shell could not be started";
  }
  ::setenv("WAYLAND_DISPLAY", display_.c_str(), 1);
  const bool up =
      comesUp(dir + "/" + display_,
              {"dbus-send", "--session", "--print-reply", "--dest=org.gnome.Shell", "/org/gnome/Shell",
               "org.freedesktop.DBus.Properties.Get", "string:org.gnome.Shell", "string:ShellVersion"},
              60s);
  return up ? "" : "gnome-shell did not come up";
}

void HeadlessGnomeShell::stop() {
  shell_.reset();
  wireplumber_.reset();
  pipewire_.reset();
  accessibility_.stop();
  systemBus_.reset();
  runtimeDir_.reset();
  if (lock_ >= 0) ::close(lock_);  // the lock goes with it
  lock_ = -1;
}

}  // namespace diruri::test
