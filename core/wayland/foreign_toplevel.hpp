// The front window of a wlroots compositor without the sway IPC, through the foreign-toplevel
// protocol every window list on such a compositor uses.
#pragma once

#include <chrono>
#include <optional>

#include "core/records/front_app.hpp"

namespace diruri {

// The activated window of the session's compositor, asked within `budget`: its app_id as
// bundle id and name and its title. The protocol tells neither the process nor the place on the
// screen, so the process id is 0 and there is no geometry. None when no compositor answers in time,
// it offers no foreign-toplevel manager, or no window is activated. libwayland's own log messages
// are silenced.
std::optional<FrontWindow> foreignToplevelFrontWindow(
    std::chrono::milliseconds budget = std::chrono::milliseconds(400));

}  // namespace diruri
