// Screenshots through the helper executable.
#include "core/capture/helper_screen_capture.hpp"

#include <unistd.h>

#include "core/platform/helper_process.hpp"
#include "core/platform/path.hpp"

namespace diruri {

HelperScreenCapture::HelperScreenCapture(FileSystem& fileSystem, std::function<bool()> screenReachable,
                                         std::vector<std::string> helperArguments, std::string helperPath,
                                         std::chrono::milliseconds timeout)
    : fileSystem_(fileSystem),
      screenReachable_(std::move(screenReachable)),
      helperArguments_(std::move(helperArguments)),
      helperPath_(std::move(helperPath)),
      timeout_(timeout) {}

std::string HelperScreenCapture::defaultHelperPath() { return besideExecutable(kScreenshotHelperName); }

bool HelperScreenCapture::canCaptureScreen() { return isExecutableFile(helperPath_) && screenReachable_(); }

ScreenCaptureResult HelperScreenCapture::capturePNG(const std::string& path) {
  ScreenCaptureResult result{path, false};
  // Every failure becomes ok == false: the caller records the flag, never an error.
  try {
    if (path.find('/') != std::string::npos) fileSystem_.createDirectories(parentDirectory(path));
  } catch (const std::exception&) {
    return result;
  }
  if (helperPath_.empty()) return result;
  std::vector<std::string> arguments = helperArguments_;
  arguments.push_back(path);
  const HelperRun run = runHelper(helperPath_, arguments, timeout_);
  // The helper writes beside the target under this name, and had no chance to remove it.
  if (run.timedOut) ::unlink((path + ".tmp-" + std::to_string(run.processId)).c_str());
  result.ok = run.succeeded;
  return result;
}

}  // namespace diruri
