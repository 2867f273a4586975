// One observed input event, from the event source to the recorder controller.
#pragma once

#include <cstdint>

#include "core/records/recording_event.hpp"

namespace diruri {

// The members the log keeps of an input event (InputFields), and its kind: kMouseDown, kMouseUp,
// kMouseMove, kKeyDown, kKeyUp, kScroll, or kCaptureLost when the source's display or bus went away.
// `target` is set by a source only on a click it inferred from an element being activated
// (`inferred`).
struct CapturedInputEvent : InputFields {
  EventType type = EventType::kOther;
  // When the device made it, in the device's own milliseconds (they wrap): for spacing events,
  // not for the log's times.
  uint32_t deviceMs = 0;
  // How long before its delivery it happened: a pointer's rest is known only once it ends.
  uint32_t ageMs = 0;
  // How many times the pointer had moved when it happened, so that what was learnt of the point
  // under the pointer before can be told still to hold.
  uint64_t pointerMoves = 0;

  bool operator==(const CapturedInputEvent&) const = default;
};

}  // namespace diruri
