// mutter with its headless back end: its session bus, PipeWire, and the wait for both its sockets.
#include "tests/support/headless_mutter.hpp"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

#include "tests/support/accessible_desktop.hpp"

namespace diruri::test {

using namespace std::chrono_literals;

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
  for (const auto until = std::chrono::steady_clock::now() + 20s;; std::this_thread::sleep_for(50ms)) {
    if (std::filesystem::exists(dir + "/" + display_)) {
      ChildProcess ask({"dbus-send", "--session", "--print-reply", "--dest=org.gnome.Mutter.RemoteDesktop",
                        "/org/gnome/Mutter/RemoteDesktop", "org.freedesktop.DBus.Properties.GetAll",
                        "string:org.gnome.Mutter.RemoteDesktop"},
                       quietChild());
      if (ask.wait() == 0) return {};
    }
    if (std::chrono::steady_clock::now() > until) return "mutter did not come up";
  }
}

void HeadlessMutter::stop() {
  mutter_.reset();
  pipewire_.reset();
  bus_.reset();
  runtimeDir_.reset();
}

}  // namespace diruri::test
