// Readable test failure messages for the capture records.
#pragma once

#include <ostream>

#include "core/capture/accessibility_inspecting.hpp"
#include "core/capture/captured_input_event.hpp"

namespace diruri {

inline void PrintTo(const CapturedInputEvent& e, std::ostream* os) {
  *os << (e.type == EventType::kOther ? "other" : eventTypeName(e.type));
  if (e.x) *os << " x=" << *e.x;
  if (e.y) *os << " y=" << *e.y;
  if (e.keyCode) *os << " keyCode=" << *e.keyCode;
  if (e.scrollY) *os << " scrollY=" << *e.scrollY;
  if (e.keysym) *os << " keysym=" << *e.keysym;
  if (e.text) *os << " text=" << *e.text;
  if (e.button) *os << " button=" << *e.button;
  if (e.scrollX) *os << " scrollX=" << *e.scrollX;
  for (const int64_t b : e.buttons) *os << " held=" << b;
  if (e.deviceMs) *os << " deviceMs=" << e.deviceMs;
  if (e.ageMs) *os << " ageMs=" << e.ageMs;
}

inline void PrintTo(const ForegroundAppSnapshot& a, std::ostream* os) {
  *os << "{applicationId=" << a.applicationId.value_or("<none>") << " appName=" << a.appName
      << " processId=" << a.processId << " windowTitle=" << a.windowTitle.value_or("<none>") << "}";
}

}  // namespace diruri
