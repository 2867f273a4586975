// Turns recorded X device events into captured input events.
#include "core/x11/x11_event_mapping.hpp"

#include <cstring>

#include "core/text/keysym_text.hpp"

namespace diruri {

namespace {

// Wheel steps are presses of buttons 4 (up) and 5 (down); each press is one step.
constexpr int kLeftButton = 1;
constexpr int kWheelUp = 4;
constexpr int kWheelDown = 5;

// Offsets inside a core KeyPress..ButtonRelease event.
constexpr size_t kEventSize = 32;
constexpr size_t kRootXOffset = 20;
constexpr size_t kRootYOffset = 22;
constexpr size_t kStateOffset = 28;

int16_t readInt16(const uint8_t* p, bool swapped) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  if (swapped) v = static_cast<uint16_t>((v >> 8) | (v << 8));
  return static_cast<int16_t>(v);
}

}  // namespace

std::optional<CapturedInputEvent> capturedEventFromX11(int eventType, int detail, int rootX, int rootY,
                                                       uint16_t state, const X11Keymap* keymap) {
  CapturedInputEvent e;
  switch (eventType) {
    case kX11KeyPress:
    case kX11KeyRelease:
      e.type = eventType == kX11KeyPress ? EventType::kKeyDown : EventType::kKeyUp;
      e.keyCode = detail;
      if (keymap != nullptr) {
        if (const uint32_t keysym = keymap->keysymFor(static_cast<uint8_t>(detail), state)) {
          e.keysym = keysym;
          e.text = keysymText(keysym);
        }
      }
      return e;
    case kX11ButtonPress:
    case kX11ButtonRelease:
      if (detail == kLeftButton) {
        e.type = eventType == kX11ButtonPress ? EventType::kMouseDown : EventType::kMouseUp;
        e.x = rootX;
        e.y = rootY;
        return e;
      }
      if (eventType == kX11ButtonPress && (detail == kWheelUp || detail == kWheelDown)) {
        e.type = EventType::kScroll;
        e.scrollY = detail == kWheelUp ? 1 : -1;
        return e;
      }
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

std::vector<CapturedInputEvent> capturedEventsFromRecordData(const uint8_t* data, size_t length, bool swapped,
                                                             const X11Keymap* keymap) {
  std::vector<CapturedInputEvent> out;
  for (size_t at = 0; at + kEventSize <= length; at += kEventSize) {
    const uint8_t* ev = data + at;
    // The top bit marks events sent with SendEvent; the recorded type is the rest.
    const int type = ev[0] & 0x7f;
    if (auto e = capturedEventFromX11(type, ev[1], readInt16(ev + kRootXOffset, swapped),
                                      readInt16(ev + kRootYOffset, swapped),
                                      static_cast<uint16_t>(readInt16(ev + kStateOffset, swapped)), keymap)) {
      out.push_back(std::move(*e));
    }
  }
  return out;
}

}  // namespace diruri
