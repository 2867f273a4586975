// Whole-screen PNG screenshots taken by the project's screenshot helper as a child process.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/capture/screen_capturing.hpp"
#include "core/platform/file_system.hpp"
#include "core/x11/x11_display_probe.hpp"

namespace diruri {

// The helper's file name; it is installed beside the server's executable.
inline constexpr char kScreenshotHelperName[] = "DiruriRediro-screenshot";

// Runs `<helper> <path>` with no shell, stdin/stdout/stderr on /dev/null and no other inherited
// descriptor, and waits for it at most `timeout`; a helper still running then is killed (with
// anything it started) and the capture has failed. Children are always reaped. Blocks the caller.
class ScreenCaptureStore final : public ScreenCapturing {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  // Uses the helper beside the running executable (never one found through PATH), and shares what
  // `probe` learnt of the display; the probe must outlive the store.
  ScreenCaptureStore(FileSystem& fileSystem, X11DisplayProbe& probe);
  // Asks the display on its own.
  explicit ScreenCaptureStore(FileSystem& fileSystem);
  // Asks `screenReachable` whether there is a screen the helper can copy (a Wayland session's).
  ScreenCaptureStore(FileSystem& fileSystem, std::function<bool()> screenReachable);
  ScreenCaptureStore(FileSystem& fileSystem, std::string helperPath,
                     std::chrono::milliseconds timeout = kDefaultTimeout);

  bool canCaptureScreen() override;
  ScreenCaptureResult capturePNG(const std::string& path) override;

  const std::string& helperPath() const { return helperPath_; }

 private:
  ScreenCaptureStore(FileSystem& fileSystem, std::unique_ptr<X11DisplayProbe> ownProbe,
                     std::function<bool()> screenReachable, std::string helperPath,
                     std::chrono::milliseconds timeout);

  FileSystem& fileSystem_;
  std::unique_ptr<X11DisplayProbe> ownProbe_;
  std::function<bool()> screenReachable_;
  std::string helperPath_;
  std::chrono::milliseconds timeout_;
};

}  // namespace diruri
