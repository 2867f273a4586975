// Whole-screen PNG screenshots taken by the project's screenshot helper as a child process.
#pragma once

#include <chrono>
#include <string>

#include "core/capture/screen_capturing.hpp"
#include "core/platform/file_system.hpp"

namespace diruri {

// The helper's file name; it is installed beside the server's executable.
inline constexpr char kScreenshotHelperName[] = "DiruriRediro-screenshot";

// Runs `<helper> <path>` with no shell, stdin/stdout/stderr on /dev/null and no other inherited
// descriptor, and waits for it at most `timeout`; a helper still running then is killed (with
// anything it started) and the capture has failed. Children are always reaped. Blocks the caller.
class ScreenCaptureStore final : public ScreenCapturing {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  // Uses the helper beside the running executable (never one found through PATH).
  explicit ScreenCaptureStore(FileSystem& fileSystem);
  ScreenCaptureStore(FileSystem& fileSystem, std::string helperPath,
                     std::chrono::milliseconds timeout = kDefaultTimeout);

  bool canCaptureScreen() override;
  ScreenCaptureResult capturePNG(const std::string& path) override;

  const std::string& helperPath() const { return helperPath_; }

 private:
  FileSystem& fileSystem_;
  std::string helperPath_;
  std::chrono::milliseconds timeout_;
};

}  // namespace diruri
