// The core keyboard map: keysym selection by the protocol's rules, with XKB's group and level three.
#include "core/x11/x11_keymap.hpp"

#include <algorithm>
#include <utility>

#include "core/text/unicode.hpp"
#include "core/x11/x11_connection.hpp"

namespace diruri {

namespace {

constexpr uint32_t kNoSymbol = 0;
constexpr uint32_t kNumLock = 0xff7f;
constexpr uint32_t kModeSwitch = 0xff7e;
constexpr uint32_t kLevel3Shift = 0xfe03;
constexpr uint32_t kCapsLock = 0xffe5;
constexpr uint32_t kShiftLock = 0xffe6;

bool isKeypad(uint32_t keysym) { return keysym >= 0xff80 && keysym <= 0xffbd; }

// Upper case of the keysyms that have a simple one (ASCII and Latin-1 letters); the map lists both
// cases of most keys itself, this covers the ones listed with one keysym.
uint32_t upper(uint32_t keysym) {
  if (keysym >= 'a' && keysym <= 'z') return keysym - 0x20;
  if (keysym >= 0xe0 && keysym <= 0xfe && keysym != 0xf7) return keysym - 0x20;
  return keysym;
}

uint32_t lower(uint32_t keysym) {
  if (keysym >= 'A' && keysym <= 'Z') return keysym + 0x20;
  if (keysym >= 0xc0 && keysym <= 0xde && keysym != 0xd7) return keysym + 0x20;
  return keysym;
}

uint16_t bitOf(int modifierIndex) { return static_cast<uint16_t>(1u << modifierIndex); }

}  // namespace

X11Keymap X11Keymap::read(xcb_connection_t* conn) {
  const xcb_setup_t* setup = xcb_get_setup(conn);
  const uint8_t first = setup->min_keycode;
  const uint8_t count = static_cast<uint8_t>(setup->max_keycode - first + 1);
  const auto symsCookie = xcb_get_keyboard_mapping(conn, first, count);
  const auto modsCookie = xcb_get_modifier_mapping(conn);
  XcbReply<xcb_get_keyboard_mapping_reply_t> syms(xcb_get_keyboard_mapping_reply(conn, symsCookie, nullptr));
  XcbReply<xcb_get_modifier_mapping_reply_t> mods(xcb_get_modifier_mapping_reply(conn, modsCookie, nullptr));
  if (!syms || !mods || syms->keysyms_per_keycode == 0) return X11Keymap{};
  const xcb_keysym_t* list = xcb_get_keyboard_mapping_keysyms(syms.get());
  const int length = xcb_get_keyboard_mapping_keysyms_length(syms.get());
  if (length < syms->keysyms_per_keycode * count) return X11Keymap{};
  std::array<std::vector<uint8_t>, 8> modifierKeys;
  const xcb_keycode_t* modKeys = xcb_get_modifier_mapping_keycodes(mods.get());
  for (int m = 0; m < 8; ++m) {
    for (int k = 0; k < mods->keycodes_per_modifier; ++k) {
      if (const uint8_t key = modKeys[m * mods->keycodes_per_modifier + k]) modifierKeys[m].push_back(key);
    }
  }
  return fromTable(first, syms->keysyms_per_keycode, std::vector<uint32_t>(list, list + length),
                   std::move(modifierKeys));
}

X11Keymap X11Keymap::fromTable(uint8_t minKeycode, int keysymsPerKey, std::vector<uint32_t> keysyms,
                               std::array<std::vector<uint8_t>, 8> modifierKeys) {
  X11Keymap map;
  if (keysymsPerKey <= 0 || keysyms.size() < static_cast<size_t>(keysymsPerKey)) return map;
  map.min_ = minKeycode;
  map.perKey_ = keysymsPerKey;
  map.max_ = static_cast<uint8_t>(std::min<size_t>(255, minKeycode + keysyms.size() / keysymsPerKey - 1));
  map.syms_ = std::move(keysyms);
  map.modifierKeys_ = std::move(modifierKeys);
  bool lockHasCaps = false;
  bool lockHasShiftLock = false;
  for (int m = 0; m < 8; ++m) {
    for (const uint8_t key : map.modifierKeys_[m]) {
      for (uint32_t sym : map.keysymsOf(key)) {
        if (sym == kNumLock) map.numLock_ |= bitOf(m);
        if (sym == kModeSwitch) map.modeSwitch_ |= bitOf(m);
        if (sym == kLevel3Shift) map.level3_ |= bitOf(m);
        if (m == 1 && sym == kCapsLock) lockHasCaps = true;
        if (m == 1 && sym == kShiftLock) lockHasShiftLock = true;
      }
    }
  }
  map.lockIsCaps_ = lockHasCaps || !lockHasShiftLock;
  return map;
}

std::vector<uint32_t> X11Keymap::keysymsOf(uint8_t keycode) const {
  if (empty() || keycode < min_ || keycode > max_) return {};
  const auto at = syms_.begin() + static_cast<ptrdiff_t>((keycode - min_) * perKey_);
  return std::vector<uint32_t>(at, at + perKey_);
}

uint32_t X11Keymap::keysymFor(uint8_t keycode, uint16_t state) const {
  if (empty() || keycode < min_ || keycode > max_) return kNoSymbol;
  const uint32_t* k = syms_.data() + static_cast<size_t>((keycode - min_) * perKey_);
  const auto sym = [&](int i) { return i < perKey_ ? k[i] : kNoSymbol; };

  // The pair of keysyms in force: XKB lists a key's first group in columns 1 and 2, its second in
  // 3 and 4, and the first group's third and fourth levels in 5 and 6.
  int group = (state >> 13) & 3;
  if (modeSwitch_ != 0 && (state & modeSwitch_) != 0) group = 1;
  int base = group == 1 ? 2 : 0;
  if (level3_ != 0 && (state & level3_) != 0 && group == 0) base = 4;
  if (base != 0 && sym(base) == kNoSymbol && sym(base + 1) == kNoSymbol) base = 0;
  uint32_t first = sym(base);
  uint32_t second = sym(base + 1);
  // A pair listed with one keysym: a letter has its two cases, anything else the same keysym twice.
  if (second == kNoSymbol) {
    second = upper(first);
    if (second != first) first = lower(first);
  }

  const bool shift = (state & kShift) != 0;
  const bool lock = (state & kLock) != 0;
  if (numLock_ != 0 && (state & numLock_) != 0 && isKeypad(second)) {
    return shift || (lock && !lockIsCaps_) ? first : second;
  }
  if (!shift && !lock) return first;
  if (!shift && lock && lockIsCaps_) return upper(first);
  if (shift && lock && lockIsCaps_) return upper(second);
  return second;
}

std::optional<X11Keymap::KeyChoice> X11Keymap::keycodeFor(uint32_t keysym, uint16_t state) const {
  if (empty() || keysym == kNoSymbol) return std::nullopt;
  const uint16_t held = state;
  const uint16_t candidates[] = {0, kShift, level3_, static_cast<uint16_t>(level3_ | kShift)};
  for (const uint16_t extra : candidates) {
    if (extra != 0 && (extra & ~held) == 0) continue;  // nothing new to hold: tried already
    if (extra == level3_ && level3_ == 0) continue;
    for (int key = min_; key <= max_; ++key) {
      if (keysymFor(static_cast<uint8_t>(key), static_cast<uint16_t>(held | extra)) == keysym) {
        return KeyChoice{static_cast<uint8_t>(key), static_cast<uint16_t>(extra & ~held)};
      }
    }
  }
  return std::nullopt;
}

uint16_t X11Keymap::modifierOf(uint8_t keycode) const {
  for (int m = 0; m < 8; ++m) {
    if (std::find(modifierKeys_[m].begin(), modifierKeys_[m].end(), keycode) != modifierKeys_[m].end()) {
      return bitOf(m);
    }
  }
  return 0;
}

bool X11Keymap::isLockKey(uint8_t keycode) const {
  for (uint32_t sym : keysymsOf(keycode)) {
    if (sym == kCapsLock || sym == kShiftLock || sym == kNumLock) return true;
  }
  return false;
}

uint8_t X11Keymap::keyForModifier(uint16_t modifier) const {
  for (int m = 0; m < 8; ++m) {
    if (bitOf(m) == modifier && !modifierKeys_[m].empty()) return modifierKeys_[m].front();
  }
  return 0;
}

uint8_t X11Keymap::spareKeycode() const {
  // From the top: the low key codes are the ones keyboards have.
  for (int key = max_; key >= min_ && key > 0; --key) {
    const std::vector<uint32_t> syms = keysymsOf(static_cast<uint8_t>(key));
    if (std::all_of(syms.begin(), syms.end(), [](uint32_t s) { return s == kNoSymbol; })) {
      return static_cast<uint8_t>(key);
    }
  }
  return 0;
}

}  // namespace diruri
