// What a keysym types: shared by the X11 and Wayland back ends and the skill steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace diruri {

// The character a keysym stands for, as UTF-8; none for keys that produce no character (functions,
// modifiers, Return, Tab, BackSpace and the like, dead keys).
std::optional<std::string> keysymText(uint32_t keysym);

// The keysym that types a character: the one a keyboard map most likely has (Latin-1 and the legacy
// keysyms, such as EuroSign for "€"), else the Unicode keysym; Return for a line break and Tab for
// a tab. None for the other control characters, which no key types.
std::optional<uint32_t> keysymOf(char32_t character);

}  // namespace diruri
