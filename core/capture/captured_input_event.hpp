// One observed input event, from the event source to the recorder controller.
#pragma once

#include "core/records/recording_event.hpp"

namespace diruri {

// The members the log keeps of an input event (InputFields), and its kind: kMouseDown, kMouseUp,
// kKeyDown, kKeyUp, kScroll, or kCaptureLost when the source's display or bus went away. `target`
// is set by a source only on a click it inferred from an element being activated (`inferred`).
struct CapturedInputEvent : InputFields {
  EventType type = EventType::kOther;

  bool operator==(const CapturedInputEvent&) const = default;
};

}  // namespace diruri
