// What a recording saw an action change, for a replay to check that it did the same: a field's text
// after typing, a toggle's state after a click, the window that came to the front, the front window
// at the stop. A line of its own in the log ("observation"), after the event it follows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/json/json_value.hpp"
#include "core/records/front_app.hpp"

namespace diruri {

struct Observation {
  enum class Kind : uint8_t { kText, kChecked, kWindow, kFront };
  // The longest text kept, in characters: a check compares the whole text, and a longer one is
  // compared as far as it was kept.
  static constexpr size_t kLongestText = 2000;

  Kind kind = Kind::kText;
  std::optional<ElementTarget> element;  // kText and kChecked: the field or the toggle
  std::optional<std::string> text;       // kText: the field's whole text (cut at kLongestText)
  bool cut = false;                      // kText: the text was longer than what is kept
  bool notEmpty = false;                 // kText into a password field: only that it holds something
  std::optional<bool> checked;           // kChecked
  // kWindow and kFront: the application and title; the process id is that of the recording.
  std::optional<ForegroundAppSnapshot> window;

  bool operator==(const Observation&) const = default;
  JsonValue toJson() const;
  // Throws JsonParseError for an unknown kind or a member of the wrong kind.
  static Observation fromJson(const JsonValue& value);
};

// The roles whose checked state a click changes: check box, radio button, toggle button and the like.
bool isToggleRole(std::string_view role);

// "text", "checked", "window", "front".
std::string_view observationKindName(Observation::Kind kind);

}  // namespace diruri
