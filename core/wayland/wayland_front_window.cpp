// The front window of a Wayland session, from the compositor.
#include "core/wayland/wayland_front_window.hpp"

#include <cstdlib>

#include "core/wayland/foreign_toplevel.hpp"
#include "core/wayland/sway_ipc.hpp"

namespace diruri {

std::optional<FrontWindow> WaylandFrontWindow::frontWindow() {
  const char* sway = std::getenv("SWAYSOCK");
  if (sway != nullptr && *sway != '\0') return swayFrontWindow();
  return foreignToplevelFrontWindow();
}

}  // namespace diruri
