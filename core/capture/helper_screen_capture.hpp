// Whole-screen PNG screenshots taken by the project's screenshot helper as a child process.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "core/capture/screen_capturing.hpp"
#include "core/platform/file_system.hpp"

namespace diruri {

// The helper's file name; it is installed beside the server's executable.
inline constexpr char kScreenshotHelperName[] = "DiruriRediro-screenshot";

// Runs `<helper> <helperArguments…> <path>` (see runHelper) and waits for it at most `timeout`; a
// helper still running then is killed (with anything it started) and the capture has failed. Where
// the screen comes from is the helper's arguments, chosen by whoever builds this. Blocks the caller.
class HelperScreenCapture final : public ScreenCapturing {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{10000};

  // `screenReachable` says whether there is a screen the helper can copy now.
  HelperScreenCapture(FileSystem& fileSystem, std::function<bool()> screenReachable,
                      std::vector<std::string> helperArguments = {},
                      std::string helperPath = defaultHelperPath(),
                      std::chrono::milliseconds timeout = kDefaultTimeout);

  bool canCaptureScreen() override;
  ScreenCaptureResult capturePNG(const std::string& path) override;

  const std::string& helperPath() const { return helperPath_; }
  // The helper beside the running executable.
  static std::string defaultHelperPath();

 private:
  FileSystem& fileSystem_;
  std::function<bool()> screenReachable_;
  std::vector<std::string> helperArguments_;
  std::string helperPath_;
  std::chrono::milliseconds timeout_;
};

}  // namespace diruri
