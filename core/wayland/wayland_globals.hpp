// What the Wayland compositor of this session offers.
#pragma once

#include <chrono>
#include <optional>
#include <set>
#include <string>

namespace diruri {

// The names of the interfaces the session's compositor announces (zwlr_screencopy_manager_v1,
// zwp_virtual_keyboard_manager_v1, …), asked within `budget`; none when no compositor answers in
// time. libwayland's own log messages are silenced: stderr carries only the usage text.
std::optional<std::set<std::string>> waylandGlobals(
    std::chrono::milliseconds budget = std::chrono::milliseconds(400));

}  // namespace diruri
