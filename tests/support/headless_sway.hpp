// A throwaway Wayland session for tests: sway on its headless back end, run as an unprivileged user
// (it refuses root) with a runtime directory of its own.
#pragma once

#include <optional>
#include <string>

#include "tests/support/child_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri::test {

class HeadlessSway {
 public:
  HeadlessSway() = default;
  HeadlessSway(const HeadlessSway&) = delete;
  HeadlessSway& operator=(const HeadlessSway&) = delete;
  ~HeadlessSway() { stop(); }

  // Empty on success, else why it failed. Returns once the compositor's Wayland and IPC sockets
  // accept connections.
  std::string start();
  void stop();

  pid_t pid() const { return sway_ ? sway_->pid() : -1; }
  const std::string& runtimeDir() const { return runtimeDir_->path(); }
  const std::string& waylandDisplay() const { return display_; }  // a name in runtimeDir()
  const std::string& swaySocket() const { return ipc_; }          // a path

 private:
  std::optional<TempDir> runtimeDir_;
  std::optional<ChildProcess> sway_;
  std::string display_;
  std::string ipc_;
};

}  // namespace diruri::test
