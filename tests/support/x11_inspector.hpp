// The accessibility inspector as the server builds it for an X11 session.
#pragma once

#include <memory>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/mcp/default_graph.hpp"
#include "core/x11/x11_front_window.hpp"

namespace diruri::test {

inline AccessibilityInspector x11Inspector(Clock& clock) {
  return AccessibilityInspector(clock, std::make_unique<X11FrontWindow>(),
                                AccessibilityInspector::Extents::kScreen, x11AccessibilityBus());
}

}  // namespace diruri::test
