// A screen double that writes its files through a given FileSystem, so injected faults reach the
// marker files as they reach the store; its inspector counterpart is FakeInspector.
#pragma once

#include <optional>
#include <string>

#include "core/capture/screen_capturing.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/file_system.hpp"
#include "tests/support/inspector_double.hpp"

namespace diruri::test {

class FsScreenCapture final : public ScreenCapturing {
 public:
  explicit FsScreenCapture(FileSystem& fs) : fs_(fs) {}
  bool canCaptureScreen() override { return true; }
  // Never throws, as the real one: a failed write is a failed capture.
  ScreenCaptureResult capturePNG(const std::string& path) override {
    try {
      fs_.createDirectories(parentOf(path));
      fs_.writeFileAtomically(path, "\x89PNG double");
      return {path, true};
    } catch (const FileSystemError&) {
      return {path, false};
    }
  }

 private:
  FileSystem& fs_;
};

}  // namespace diruri::test
