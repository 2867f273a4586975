// The display's keyboard map as the core protocol gives it: which keysym a key code produces under a
// modifier state, which key code produces a keysym, and the character a keysym stands for.
#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace diruri {

// A copy of the map taken with two requests (the keysyms and the modifier keys); it does not follow
// later changes by itself: the owner reads it again when the server announces a MappingNotify.
class X11Keymap {
 public:
  // Modifier state bits as the core protocol numbers them.
  static constexpr uint16_t kShift = 1 << 0;
  static constexpr uint16_t kLock = 1 << 1;

  // An empty map (no key produces anything) when the requests fail.
  static X11Keymap read(xcb_connection_t* conn);
  // A map from its parts: `keysymsPerKey` keysyms for each key code from `minKeycode` on, and per
  // modifier bit (Shift, Lock, Control, Mod1..Mod5) the keys that set it.
  static X11Keymap fromTable(uint8_t minKeycode, int keysymsPerKey, std::vector<uint32_t> keysyms,
                             std::array<std::vector<uint8_t>, 8> modifierKeys);

  bool empty() const { return syms_.empty(); }

  // The keysym the key produces with these modifiers held (the state of a key event: modifier bits,
  // and XKB's group in bits 13 and 14); 0 (NoSymbol) when none.
  uint32_t keysymFor(uint8_t keycode, uint16_t state) const;

  // A key that produces `keysym` when `extraModifiers` are held on top of `state` (none when it does
  // so with `state` alone); preferring keys that need no extra modifier, then Shift, then the third
  // and fourth levels.
  struct KeyChoice {
    uint8_t keycode = 0;
    uint16_t extraModifiers = 0;
  };
  std::optional<KeyChoice> keycodeFor(uint32_t keysym, uint16_t state) const;

  // The modifier a key sets while held (a bit of the state), or 0 for a key that sets none.
  uint16_t modifierOf(uint8_t keycode) const;
  // Whether pressing the key toggles its modifier instead of setting it while held (Caps Lock,
  // Num Lock, Shift Lock).
  bool isLockKey(uint8_t keycode) const;
  // A key that sets the modifier bit, or 0.
  uint8_t keyForModifier(uint16_t modifier) const;
  // A key code that produces nothing, free to be given a keysym for a moment; 0 when every key has one.
  uint8_t spareKeycode() const;

  uint8_t minKeycode() const { return min_; }
  uint8_t maxKeycode() const { return max_; }
  // The keysyms of a key, as the map lists them.
  std::vector<uint32_t> keysymsOf(uint8_t keycode) const;

 private:
  uint8_t min_ = 0;
  uint8_t max_ = 0;
  int perKey_ = 0;
  std::vector<uint32_t> syms_;
  // Per modifier bit (Shift, Lock, Control, Mod1..Mod5), the keys that set it.
  std::array<std::vector<uint8_t>, 8> modifierKeys_;
  uint16_t numLock_ = 0;     // the modifier Num_Lock sets
  uint16_t modeSwitch_ = 0;  // the modifier Mode_switch sets: the second group
  uint16_t level3_ = 0;      // the modifier ISO_Level3_Shift sets: the third and fourth levels
  bool lockIsCaps_ = true;   // Lock means Caps Lock unless it is set by a Shift_Lock key only
};

}  // namespace diruri
