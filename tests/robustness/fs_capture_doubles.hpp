// Screen and accessibility doubles that write their files through a given FileSystem, so injected
// faults reach the marker files as they reach the store.
#pragma once

#include <optional>
#include <string>

#include "core/capture/accessibility_inspecting.hpp"
#include "core/capture/screen_capturing.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/file_system.hpp"

namespace diruri::test {

inline std::string parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

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

class FsInspector final : public AccessibilityInspecting {
 public:
  explicit FsInspector(FileSystem& fs) : fs_(fs) {}
  std::optional<ForegroundAppSnapshot> front = ForegroundAppSnapshot{"org.example.Editor", "Editor", 812, "Untitled"};

  std::optional<ForegroundAppSnapshot> foregroundSnapshot() override { return front; }
  std::optional<AccessibilitySnapshot> accessibilitySnapshot() override {
    if (!front) return std::nullopt;
    AccessibilitySnapshot s;
    s.app = *front;
    s.capturedAt = "2025-01-31T12:34:56Z";
    return s;
  }
  void writeSnapshot(const AccessibilitySnapshot& snapshot, const std::string& path) override {
    fs_.createDirectories(parentOf(path));
    fs_.writeFileAtomically(path, writeJson(snapshot.toJson(), JsonLayout::Pretty));
  }

 private:
  FileSystem& fs_;
};

}  // namespace diruri::test
