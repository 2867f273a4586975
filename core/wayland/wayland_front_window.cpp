// The front window of a Wayland session, from the compositor.
#include "core/wayland/wayland_front_window.hpp"

#include <cstdlib>

#include "core/wayland/foreign_toplevel.hpp"
#include "core/wayland/sway_ipc.hpp"
#include "core/wayland/wayland_globals.hpp"

namespace diruri {

std::optional<FrontWindow> WaylandFrontWindow::frontWindow() {
  const char* sway = std::getenv("SWAYSOCK");
  if (sway != nullptr && *sway != '\0') return swayFrontWindow();
  return foreignToplevelFrontWindow();
}

bool WaylandFrontWindow::knowsFrontWindow() {
  const char* sway = std::getenv("SWAYSOCK");
  if (sway != nullptr && *sway != '\0') return true;
  const std::optional<std::set<std::string>> globals = waylandGlobals();
  return !globals || globals->count("zwlr_foreign_toplevel_manager_v1") > 0;
}

}  // namespace diruri
