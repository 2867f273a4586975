// sway as the user nobody: a runtime directory that user owns, a configuration without Xwayland or
// a bar, and the sockets it makes found by their names there.
#include "tests/support/headless_sway.hpp"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace diruri::test {

namespace {

constexpr uid_t kNobody = 65534;

}  // namespace

std::string HeadlessSway::start() {
  try {
    runtimeDir_.emplace();
  } catch (const std::exception&) {
    return "no temporary directory";
  }
  const std::string dir = runtimeDir_->path();
  {
    std::ofstream config(dir + "/config");
    config << "xwayland disable\nfocus_follows_mouse no\n";
  }
  if (::chown(dir.c_str(), kNobody, kNobody) != 0 ||
      ::chown((dir + "/config").c_str(), kNobody, kNobody) != 0) {
    return "the runtime directory cannot be given to nobody";
  }
  ChildOptions options = quietChild();
  options.environment = {{"XDG_RUNTIME_DIR", dir},     {"HOME", dir},
                         {"WLR_BACKENDS", "headless"}, {"WLR_LIBINPUT_NO_DEVICES", "1"},
                         {"WLR_RENDERER", "pixman"},   {"WAYLAND_DISPLAY", std::nullopt},
                         {"DISPLAY", std::nullopt},    {"SWAYSOCK", std::nullopt}};
  try {
    sway_.emplace(std::vector<std::string>{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                           "sway", "-c", dir + "/config"},
                  options);
  } catch (const std::system_error&) {
    return "sway could not be started";
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (!entry.is_socket()) continue;
      if (name.rfind("wayland-", 0) == 0) display_ = name;
      if (name.rfind("sway-ipc.", 0) == 0) ipc_ = entry.path().string();
    }
    if (!display_.empty() && !ipc_.empty()) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "sway made no sockets within 20 s";
}

void HeadlessSway::stop() {
  if (sway_) sway_->stop(SIGTERM);
  sway_.reset();
  runtimeDir_.reset();
}

}  // namespace diruri::test
