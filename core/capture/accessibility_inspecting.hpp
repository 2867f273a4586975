// The front application and the accessibility snapshot of its focused window and element.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/json/json_value.hpp"

namespace diruri {

struct ForegroundAppSnapshot {
  std::optional<std::string> bundleId;
  std::string appName;
  int32_t processId = 0;
  std::optional<std::string> windowTitle;

  bool operator==(const ForegroundAppSnapshot&) const = default;
  JsonValue toJson() const;
  // Throws JsonParseError when a required key is missing or of the wrong kind.
  static ForegroundAppSnapshot fromJson(const JsonValue& value);
};

struct AccessibilitySnapshot {
  ForegroundAppSnapshot app;
  std::optional<std::string> focusedWindowRole;
  std::optional<std::string> focusedElementRole;
  std::optional<std::string> focusedElementTitle;
  std::string capturedAt;

  bool operator==(const AccessibilitySnapshot&) const = default;
  JsonValue toJson() const;
  static AccessibilitySnapshot fromJson(const JsonValue& value);
};

class AccessibilityInspecting {
 public:
  virtual ~AccessibilityInspecting() = default;

  // The application in front, or none. Called from the capture thread once per input event.
  virtual std::optional<ForegroundAppSnapshot> foregroundSnapshot() = 0;

  // The front application with its focused window's and element's roles; none when nothing is in front.
  virtual std::optional<AccessibilitySnapshot> accessibilitySnapshot() = 0;

  // Writes the snapshot file (pretty JSON) atomically, creating missing parent directories.
  // Throws the file-system or encoding error.
  virtual void writeSnapshot(const AccessibilitySnapshot& snapshot, const std::string& path) = 0;
};

}  // namespace diruri
