// Which keysym a key produces under a modifier state, which key produces a keysym, and the
// character a keysym stands for: tables of cases over a small keymap laid out as XKB lays maps out.
#include "core/x11/x11_keymap.hpp"
#include "core/text/keysym_text.hpp"

#include <gtest/gtest.h>

namespace diruri {
namespace {

constexpr uint16_t kShift = 1, kLock = 2, kNumLock = 0x10 /* Mod2 */, kLevel3 = 0x80 /* Mod5 */;
constexpr uint16_t kSecondGroup = 1 << 13;

// Key codes 10 to 17, six keysyms each as XKB's core map lists them: group 1 levels 1 and 2, group 2
// levels 1 and 2, then group 1 levels 3 and 4.
X11Keymap testMap() {
  const std::vector<uint32_t> syms = {
      'q',    'Q',    0x6ca /* Cyrillic_shorti */,
      0x6ea,  '@',    0x7d9 /* Greek_OMEGA */,  // 10
      'a',    0,      0,
      0,      0,      0,  // 11: listed once
      0xff95, 0xffb7, 0,
      0,      0,      0,  // 12: KP_Home, KP_7
      0xffe1, 0,      0,
      0,      0,      0,  // 13: Shift_L
      0xffe5, 0,      0,
      0,      0,      0,  // 14: Caps_Lock
      0xff7f, 0,      0,
      0,      0,      0,  // 15: Num_Lock
      0xfe03, 0,      0,
      0,      0,      0,  // 16: ISO_Level3_Shift
      0,      0,      0,
      0,      0,      0,  // 17: free
  };
  std::array<std::vector<uint8_t>, 8> modifiers;
  modifiers[0] = {13};
  modifiers[1] = {14};
  modifiers[4] = {15};
  modifiers[7] = {16};
  return X11Keymap::fromTable(10, 6, syms, modifiers);
}

TEST(X11Keymap, KeysymUnderEachState) {
  const X11Keymap map = testMap();
  const struct {
    uint8_t key;
    uint16_t state;
    uint32_t keysym;
  } cases[] = {
      {10, 0, 'q'},
      {10, kShift, 'Q'},
      {10, kLock, 'Q'},
      {10, kShift | kLock, 'Q'},
      {10, kLevel3, '@'},
      {10, kLevel3 | kShift, 0x7d9},
      {10, kSecondGroup, 0x6ca},
      {10, kSecondGroup | kShift, 0x6ea},
      {11, 0, 'a'},  // a letter listed once has its two cases
      {11, kShift, 'A'},
      {11, kLevel3, 'a'},  // no third level: the first group's
      {12, 0, 0xff95},
      {12, kNumLock, 0xffb7},
      {12, kNumLock | kShift, 0xff95},
      {13, kShift, 0xffe1},
      {17, 0, 0},
      {200, 0, 0},  // outside the map
  };
  for (const auto& c : cases) {
    EXPECT_EQ(map.keysymFor(c.key, c.state), c.keysym) << int(c.key) << " state " << c.state;
  }
}

TEST(X11Keymap, KeyForAKeysymWithTheModifiersItStillNeeds) {
  const X11Keymap map = testMap();
  const struct {
    uint32_t keysym;
    uint16_t held;
    std::optional<std::pair<int, int>> choice;  // key code, extra modifiers
  } cases[] = {
      {'q', 0, std::pair{10, 0}},
      {'Q', 0, std::pair{10, kShift}},
      {'Q', kShift, std::pair{10, 0}},
      {'@', 0, std::pair{10, kLevel3}},
      {0x7d9, 0, std::pair{10, kLevel3 | kShift}},
      {'A', 0, std::pair{11, kShift}},
      {0xffb7, kNumLock, std::pair{12, 0}},
      {0xe9 /* eacute */, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto choice = map.keycodeFor(c.keysym, c.held);
    ASSERT_EQ(choice.has_value(), c.choice.has_value()) << c.keysym;
    if (choice) {
      EXPECT_EQ(choice->keycode, c.choice->first) << c.keysym;
      EXPECT_EQ(choice->extraModifiers, c.choice->second) << c.keysym;
    }
  }
  EXPECT_EQ(map.spareKeycode(), 17);
  EXPECT_EQ(map.modifierOf(16), kLevel3);
  EXPECT_TRUE(map.isLockKey(14));
  EXPECT_FALSE(map.isLockKey(13));
  EXPECT_EQ(map.keyForModifier(kShift), 13);
}

TEST(X11Keymap, TextOfAKeysym) {
  const struct {
    uint32_t keysym;
    std::optional<std::string> text;
  } cases[] = {
      {'a', "a"},
      {0xe9, "\xc3\xa9"},           // Latin-1
      {0x6c1, "\xd0\xb0"},          // Cyrillic_a, from the generated table
      {0x20ac, "\xe2\x82\xac"},     // EuroSign
      {0x10020ac, "\xe2\x82\xac"},  // the same as a Unicode keysym
      {0xffb7, "7"},                // KP_7
      {0xff0d, std::nullopt},       // Return
      {0xff09, std::nullopt},       // Tab
      {0xffe1, std::nullopt},       // Shift_L
      {0xfe51, std::nullopt},       // dead_acute
      {0x100d800, std::nullopt},    // a surrogate is no character
  };
  for (const auto& c : cases) EXPECT_EQ(keysymText(c.keysym), c.text) << std::hex << c.keysym;
}

}  // namespace
}  // namespace diruri
