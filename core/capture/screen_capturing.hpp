// Whole-screen PNG screenshots and the permission to take them.
#pragma once

#include <string>

namespace diruri {

struct ScreenCaptureResult {
  std::string path;  // the target the caller named, whether or not a file was written
  bool ok = false;   // the screenshot was taken and the file is complete
};

class ScreenCapturing {
 public:
  virtual ~ScreenCapturing() = default;
  // Whether screen capture is possible now. Never prompts.
  virtual bool canCaptureScreen() = 0;
  // Writes a PNG of the whole screen to path, creating missing parent directories. Never throws.
  virtual ScreenCaptureResult capturePNG(const std::string& path) = 0;
};

}  // namespace diruri
