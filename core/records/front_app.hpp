// The front application and the accessibility snapshot of its focused window and element: records
// the capture side produces and the store writes into every input event.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json/json_value.hpp"

namespace diruri {

struct ForegroundAppSnapshot {
  // What names the application whatever its window: the GTK application id, else the WM_CLASS
  // class (X11), the app_id (Wayland). Stored as "bundleId", the member's name in every log.
  std::optional<std::string> applicationId;
  std::string appName;
  int32_t processId = 0;
  std::optional<std::string> windowTitle;

  bool operator==(const ForegroundAppSnapshot&) const = default;
  JsonValue toJson() const;
  // Throws JsonParseError when a required key is missing or of the wrong kind.
  static ForegroundAppSnapshot fromJson(const JsonValue& value);
};

// Whether a window title seen now is the one recorded: the same, or the same but for one part of
// it (a document's name in "report.txt - Editor" against "Untitled - Editor").
bool sameWindowTitle(const std::string& recorded, const std::string& current);

// Whether the front window seen now is the one recorded: the same application (by its bundle id
// where both have one, else by name; process ids differ between runs) and, where a title was
// recorded, the same title in the sense of sameWindowTitle.
bool isSameWindow(const ForegroundAppSnapshot& recorded, const ForegroundAppSnapshot& current);

// Where a window lies on the screen, in root-window pixels.
struct WindowGeometry {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;

  bool operator==(const WindowGeometry&) const = default;
  JsonValue toJson() const;
  // Throws JsonParseError when a member is missing or not an integer.
  static WindowGeometry fromJson(const JsonValue& value);
};

// The application in front and, where it is known, where its window lies.
struct FrontWindow {
  ForegroundAppSnapshot app;
  std::optional<WindowGeometry> geometry;

  bool operator==(const FrontWindow&) const = default;
};

// One level of an element's place in its window: the role there and the index among its siblings.
struct ElementPathStep {
  std::string role;
  int32_t index = 0;

  bool operator==(const ElementPathStep&) const = default;
};

// The accessible element an event went to: its role name (untranslated), its accessible name when
// it has one, the chain of roles from its window down to it, and its extent in root coordinates.
// A key's element (the focused one) has neither chain nor extent.
struct ElementTarget {
  std::string role;
  std::optional<std::string> name;
  std::vector<ElementPathStep> path;
  std::optional<WindowGeometry> bounds;
  // The bounds are counted from the window's corner, not the screen's: where no window's place is
  // known (GNOME), a click seen by its meaning has no point on the screen. "relative":"window".
  bool windowRelative = false;

  bool operator==(const ElementTarget&) const = default;
  JsonValue toJson() const;
  // Throws JsonParseError when the role is missing or a member is of the wrong kind.
  static ElementTarget fromJson(const JsonValue& value);
  // The event's "target" member, or none when it has none or it cannot be read.
  static std::optional<ElementTarget> of(const JsonObject& payload);
  // In words: "\"Save\" push button", or "push button" without a name; the name (and a role the
  // accessibility bus does not define) quoted as data, so a name cannot pass for words of the system.
  std::string describe() const;
};

// The longest name or title quoted into words an agent reads, in characters.
inline constexpr size_t kLongestQuotedName = 200;

// A role name in words: bare when it is one the accessibility bus defines, else quoted as data.
std::string describeRole(const std::string& role);

// An element looked for again, as it is now.
struct FoundElement {
  ElementTarget element;
  bool showing = false;
  bool enabled = false;
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

}  // namespace diruri
