// A throwaway GNOME compositor for tests: mutter headless with one virtual monitor, on a private
// session bus with PipeWire beside it (its screen-cast streams need it).
#pragma once

#include <optional>
#include <string>

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

}  // namespace diruri::test
