// What the recorder asks about the application in front.
#pragma once

#include <optional>
#include <string>

#include "core/records/front_app.hpp"

namespace diruri {

class AccessibilityInspecting {
 public:
  virtual ~AccessibilityInspecting() = default;

  // The application in front, or none. Called from the capture thread once per input event.
  virtual std::optional<ForegroundAppSnapshot> foregroundSnapshot() = 0;

  // The same, with where the front window lies when that is known; one query for both. Called from
  // the capture thread for clicks and from the replay while it waits for its window.
  virtual std::optional<FrontWindow> frontWindow() {
    std::optional<ForegroundAppSnapshot> app = foregroundSnapshot();
    if (!app) return std::nullopt;
    return FrontWindow{std::move(*app), std::nullopt};
  }

  // The front application with its focused window's and element's roles; none when nothing is in front.
  virtual std::optional<AccessibilitySnapshot> accessibilitySnapshot() = 0;

  // Writes the snapshot file (pretty JSON) atomically, creating missing parent directories.
  // Throws the file-system or encoding error.
  virtual void writeSnapshot(const AccessibilitySnapshot& snapshot, const std::string& path) = 0;
};

}  // namespace diruri
