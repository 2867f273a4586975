// Turns recorded X device events into captured input events.
#include "core/x11/x11_event_mapping.hpp"

#include <cstring>

#include "core/text/keysym_text.hpp"

namespace diruri {

namespace {

// Wheel steps are presses of buttons 4 (up), 5 (down), 6 (left) and 7 (right); each press is one
// step.
constexpr int kWheelUp = 4;
constexpr int kWheelDown = 5;
constexpr int kWheelLeft = 6;
constexpr int kWheelRight = 7;

// Offsets inside a core KeyPress..ButtonRelease event.
constexpr size_t kEventSize = 32;
constexpr size_t kTimeOffset = 4;
constexpr size_t kRootXOffset = 20;
constexpr size_t kRootYOffset = 22;
constexpr size_t kStateOffset = 28;

uint32_t readUint32(const uint8_t* p, bool swapped) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if (swapped) v = __builtin_bswap32(v);
  return v;
}

int16_t readInt16(const uint8_t* p, bool swapped) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  if (swapped) v = static_cast<uint16_t>((v >> 8) | (v << 8));
  return static_cast<int16_t>(v);
}

}  // namespace

std::optional<CapturedInputEvent> capturedEventFromX11(int eventType, int detail, int rootX, int rootY,
                                                       uint16_t state, const X11Keymap* keymap,
                                                       uint32_t timeMs) {
  CapturedInputEvent e;
  e.deviceMs = timeMs;
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
      if (detail >= kWheelUp && detail <= kWheelRight) {
        if (eventType != kX11ButtonPress) return std::nullopt;
        e.type = EventType::kScroll;
        if (detail <= kWheelDown) {
          e.scrollY = detail == kWheelUp ? 1 : -1;
        } else {
          e.scrollX = detail == kWheelLeft ? 1 : -1;
        }
        return e;
      }
      if (detail < 1) return std::nullopt;
      e.type = eventType == kX11ButtonPress ? EventType::kMouseDown : EventType::kMouseUp;
      e.button = detail;
      e.x = rootX;
      e.y = rootY;
      return e;
    case kX11MotionNotify:
      e.type = EventType::kMouseMove;
      e.x = rootX;
      e.y = rootY;
      return e;
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
                                      static_cast<uint16_t>(readInt16(ev + kStateOffset, swapped)), keymap,
                                      readUint32(ev + kTimeOffset, swapped))) {
      out.push_back(std::move(*e));
    }
  }
  return out;
}

}  // namespace diruri
