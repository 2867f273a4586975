// The front window of a Wayland session, from the compositor.
#pragma once

#include "core/capture/front_window_source.hpp"

namespace diruri {

// Asked over the sway IPC where $SWAYSOCK names it (app_id, title, process id and place), else
// through the foreign-toplevel protocol (app_id and title only: no process, no place). Each
// question is bounded in time; nothing is kept between them.
class WaylandFrontWindow final : public FrontWindowSource {
 public:
  std::optional<FrontWindow> frontWindow() override;
  // The sway IPC, or a compositor that offers the foreign-toplevel list.
  bool knowsFrontWindow() override;
};

}  // namespace diruri
