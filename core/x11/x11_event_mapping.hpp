// Turns recorded X device events into captured input events; pure, so it is testable without a
// display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/capture/captured_input_event.hpp"
#include "core/x11/x11_keymap.hpp"

namespace diruri {

// Core protocol event codes the recorder asks for (KeyPress through MotionNotify).
inline constexpr int kX11KeyPress = 2;
inline constexpr int kX11KeyRelease = 3;
inline constexpr int kX11ButtonPress = 4;
inline constexpr int kX11ButtonRelease = 5;
inline constexpr int kX11MotionNotify = 6;

// One device event: its code, its detail byte (keycode or button), its root coordinates, the
// modifier state it carried and its server time. Nothing for events the log does not keep (wheel
// releases, other codes). A key event gets the keysym the keymap gives for it, and its character;
// a button its number; motion comes as kMouseMove for PointerMotion to sample.
std::optional<CapturedInputEvent> capturedEventFromX11(int eventType, int detail, int rootX, int rootY,
                                                       uint16_t state = 0, const X11Keymap* keymap = nullptr,
                                                       uint32_t timeMs = 0);

// The data of one "from server" record reply: a run of 32-byte core events, byte-swapped when the
// server's byte order differs from ours. Incomplete trailing bytes are ignored.
std::vector<CapturedInputEvent> capturedEventsFromRecordData(const uint8_t* data, size_t length, bool swapped,
                                                             const X11Keymap* keymap = nullptr);

}  // namespace diruri
