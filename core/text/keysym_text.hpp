// What a keysym types: shared by the X11 and Wayland back ends and the skill steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace diruri {

// The character a keysym stands for, as UTF-8; none for keys that produce no character (functions,
// modifiers, Return, Tab, BackSpace and the like, dead keys).
std::optional<std::string> keysymText(uint32_t keysym);

}  // namespace diruri
