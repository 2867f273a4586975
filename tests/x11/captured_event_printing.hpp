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
}

inline void PrintTo(const ForegroundAppSnapshot& a, std::ostream* os) {
  *os << "{applicationId=" << a.applicationId.value_or("<none>") << " appName=" << a.appName
      << " processId=" << a.processId << " windowTitle=" << a.windowTitle.value_or("<none>") << "}";
}

}  // namespace diruri
