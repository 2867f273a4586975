// A replay's view of one input event of a recording: what it posts, where, and when, read once
// from the log's event and checked that it can be posted as it was recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records/front_app.hpp"
#include "core/records/recording_event.hpp"
#include "core/store/event_log.hpp"

namespace diruri {

struct Point {
  double x;
  double y;
};

struct Planned {
  std::string id;
  EventType type = EventType::kOther;
  std::optional<int64_t> monotonicMs;
  std::optional<Point> point;
  // Keys: what pairs the release with its press (keyIdentity), and what the key produced.
  std::optional<int64_t> keyCode;
  std::optional<int64_t> keysym;
  std::optional<int64_t> scrollY;
  std::optional<int64_t> scrollX;
  int64_t button = 1;            // presses and releases
  std::vector<int64_t> buttons;  // moves: those held (a drag); none for a hover
  std::optional<ForegroundAppSnapshot> app;
  std::optional<WindowGeometry> window;
  std::optional<ElementTarget> target;  // presses and hovers: the element under the pointer, where it was
  std::optional<ElementTarget> focus;   // key presses: the element that had the keyboard focus
  bool redacted = false;                // a key typed into a password field, not kept

  bool isKey() const { return isKeyEvent(type); }
  // The pointer coming to rest somewhere, with no button held.
  bool isHover() const { return type == EventType::kMouseMove && buttons.empty(); }
  // Presses, wheel steps and hovers go to the window in front; releases and a drag's moves follow
  // their press.
  bool needsWindow() const { return isPressEvent(type) || isHover(); }
};

// The event as a step, or none for a line that is no input event (a marker, or a kind this replay
// does not know). Throws SemanticReplayerError (unusableEvent) for an input event that cannot be
// posted as it was recorded, naming its line.
std::optional<Planned> plan(RecordingEvent& event, const EventLine& line);

}  // namespace diruri
