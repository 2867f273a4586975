// One line of a session's event log as a typed record: read from a log line and written to one, so
// that the capture, the store, the summary, the skill steps and the replay share one model of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/records/front_app.hpp"
#include "core/records/observation.hpp"

namespace diruri {

// The kinds of log line. Lines of a kind this version does not know are kOther and keep their type
// text, so that they are read, passed over and written back as they were.
enum class EventType : uint8_t {
  kOther,
  kSessionStarted,
  kSessionStopped,
  kScreenshotCaptured,
  kAxSnapshot,
  // The capture ended on its own (its display or bus went away); stored as "user_marker".
  kCaptureLost,
  // What the event before it changed, for a replay to check (Observation).
  kObservation,
  kMouseDown,
  kMouseUp,
  // The pointer moved with a button held (a drag's path), or came to rest somewhere (a hover).
  kMouseMove,
  kKeyDown,
  kKeyUp,
  kScroll,
};

// "mouse_down" and the like; "" for kOther.
std::string_view eventTypeName(EventType type);
// The kind a type text names; kOther for any other text.
EventType eventTypeNamed(std::string_view name);

inline bool isKeyEvent(EventType t) { return t == EventType::kKeyDown || t == EventType::kKeyUp; }
inline bool isMouseButtonEvent(EventType t) { return t == EventType::kMouseDown || t == EventType::kMouseUp; }
// The events with a point on the screen.
inline bool isPointerEvent(EventType t) { return isMouseButtonEvent(t) || t == EventType::kMouseMove; }
// The events a person's input made, which a replay posts again.
inline bool isInputEvent(EventType t) {
  return isKeyEvent(t) || isPointerEvent(t) || t == EventType::kScroll;
}
// Presses and wheel steps: they go to the window in front, and releases follow them.
inline bool isPressEvent(EventType t) {
  return t == EventType::kMouseDown || t == EventType::kKeyDown || t == EventType::kScroll;
}

// What pairs a key's release with its press: its key code, or where it has none (Wayland) its keysym,
// as a number no key code can be.
inline std::optional<int64_t> keyIdentity(std::optional<int64_t> keyCode, std::optional<int64_t> keysym) {
  if (keyCode) return keyCode;
  if (keysym) return -1 - *keysym;
  return std::nullopt;
}

// The members of an input event, shared by what a capture source delivers and what the log keeps.
// Every member has an initializer, so that a record can be written naming only the members it has.
struct InputFields {
  std::optional<double> x = std::nullopt;  // mouse events: root-window (screen) pixels
  std::optional<double> y = std::nullopt;
  std::optional<int64_t> keyCode = std::nullopt;  // key events: the X key code (none on Wayland)
  // Key events: what the key produced under the keyboard map in force, and the character that is
  // when it is one.
  std::optional<int64_t> keysym = std::nullopt;
  std::optional<std::string> text = std::nullopt;
  std::optional<int64_t> scrollY = std::nullopt;  // wheel steps, +1 up and -1 down each
  std::optional<int64_t> scrollX = std::nullopt;  // sideways wheel steps, +1 left and -1 right each
  // Presses and releases: the button (1 left, 2 middle, 3 right, 8 and up a mouse's others); none
  // is the left one, as older logs have it.
  std::optional<int64_t> button = std::nullopt;
  // Pointer motion: the buttons held as it moved (a drag); none for a pointer that came to rest
  // (a hover).
  std::vector<int64_t> buttons = {};
  // Clicks: the element under the pointer. Redacted keys: the password field they went to.
  std::optional<ElementTarget> target = std::nullopt;
  // A click seen only by its meaning (an element activated), not by the pointer: its point is the
  // element's middle.
  bool inferred = false;

  bool operator==(const InputFields&) const = default;
};

struct EventPayload : InputFields {
  std::string sessionId;
  std::optional<ForegroundAppSnapshot> app;
  std::optional<WindowGeometry> window;  // mouse events: the front window at that moment
  std::optional<std::string> screenshotPath;
  std::optional<bool> screenshotOk;
  std::optional<std::string> axSnapshotPath;
  // A key typed into a password field: its key code, keysym and text are not kept.
  bool redacted = false;
  std::optional<Observation> observation;  // observation lines
  // Keys that begin a run of typing, and keys that type nothing: the element that had the
  // keyboard focus, for a replay to give it back before posting them.
  std::optional<ElementTarget> focus;
  // Members this version does not know, as they were read: written back unchanged.
  JsonObject others;

  bool operator==(const EventPayload&) const = default;
  JsonValue toJson() const;
};

// One line of events.jsonl.
struct RecordingEvent {
  std::string id;
  std::string ts;
  std::optional<int64_t> monotonicMs;  // absent only in hand-written lines
  EventType kind = EventType::kOther;
  std::string type;  // the type as written; eventTypeName(kind) for every kind but kOther
  EventPayload payload;
  JsonObject others;  // members of the line this version does not know

  // The event of a kind, with its type text.
  static RecordingEvent of(EventType kind);

  bool operator==(const RecordingEvent&) const = default;
  JsonValue toJson() const;

  // The event a log line holds. Every member is read on its own: one that is missing is absent,
  // one of the wrong kind or out of range is left out too, and the first such one is described in
  // `problem` ("its keysym is …, not a whole number from 0 to 536870911"), for a reader that must
  // not act on half an event. Never throws.
  static RecordingEvent fromJson(const JsonObject& line, std::string* problem = nullptr);
  // The same, moving what it keeps out of `line`.
  static RecordingEvent fromJson(JsonObject&& line, std::string* problem = nullptr);
};

}  // namespace diruri
