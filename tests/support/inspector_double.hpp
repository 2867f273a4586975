// An accessibility inspector double with a fixed front application, writing its snapshot files
// through a given FileSystem (the real one by default), so that injected faults reach them as they
// reach the store.
#pragma once

#include <cerrno>
#include <optional>
#include <string>

#include "tests/support/real_file_system.hpp"
#include "core/capture/accessibility_inspecting.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/file_system.hpp"

namespace diruri::test {

inline std::string parentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

class FakeInspector final : public AccessibilityInspecting {
 public:
  explicit FakeInspector(FileSystem& fs = test::realFileSystem()) : fs_(fs) {}

  std::optional<ForegroundAppSnapshot> front = ForegroundAppSnapshot{"org.example.Editor", "Editor", 812, "Untitled"};
  bool writeFails = false;

  std::optional<ForegroundAppSnapshot> foregroundSnapshot() override { return front; }
  std::optional<AccessibilitySnapshot> accessibilitySnapshot() override {
    if (!front) return std::nullopt;
    AccessibilitySnapshot s;
    s.app = *front;
    s.capturedAt = "2025-01-31T12:34:56Z";
    return s;
  }
  void writeSnapshot(const AccessibilitySnapshot& snapshot, const std::string& path) override {
    if (writeFails) throw FileSystemError(ENOSPC, "write", path);
    fs_.createDirectories(parentOf(path));
    fs_.writeFileAtomically(path, writeJson(snapshot.toJson(), JsonLayout::Pretty));
  }

 private:
  FileSystem& fs_;
};

}  // namespace diruri::test
