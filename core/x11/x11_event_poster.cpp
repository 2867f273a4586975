// Replays clicks, keys and wheel steps into the X display through the XTEST extension.
#include "core/x11/x11_event_poster.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "core/platform/sigpipe_guard.hpp"
#include "core/x11/x11_connection.hpp"
#include "core/x11/x11_keymap.hpp"

namespace diruri {

namespace {

constexpr std::chrono::milliseconds kSettleAfterReplay{200};

constexpr uint8_t kWheelUp = 4;
constexpr int64_t kMinKeyCode = 8;
constexpr int64_t kMaxKeyCode = 255;

}  // namespace

// The XTEST connection of one replay, from begin() to end(), with what the replay holds down and
// the keyboard map it posts keys by.
struct X11EventPoster::XTestLink {
  X11Connection connection;
  xcb_connection_t* conn = connection.get();
  xcb_window_t root = connection.root();
  // The root window's size when the replay began: the X server would move a point beyond it to
  // the edge, where it lands on something else.
  int32_t width = 0;
  int32_t height = 0;
  int sinceSync = 0;
  std::optional<xcb_get_input_focus_cookie_t> pending;
  // What this replay pressed and has not released, to be released at the end.
  std::bitset<256> keysDown;
  std::bitset<256> buttonsDown;

  X11Keymap keymap;
  // The keys found for a keysym under a modifier state; a recording types the same few again and
  // again, and looking one up walks the whole map.
  std::map<std::pair<uint32_t, uint16_t>, std::optional<X11Keymap::KeyChoice>> found;
  // The modifiers in force: those found at the start, as this replay's own presses change them.
  uint16_t state = 0;
  // The key each recorded key's press went to, so that its release goes there too.
  std::map<int64_t, uint8_t> pressedAs;
  // Keys found without a keysym and given one for this replay; their keysyms are restored at the end.
  std::map<uint32_t, uint8_t> borrowed;
  std::vector<std::pair<uint8_t, std::vector<uint32_t>>> borrowedFrom;

  bool usable() const { return connection.ok(); }

  void fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0) {
    xcb_test_fake_input(conn, type, detail, XCB_CURRENT_TIME, root, x, y, 0);
    if (++sinceSync >= kSyncInterval) pace();
  }

  // At most two intervals of requests in flight: each checkpoint waits for the one before it, so
  // the server works through one interval while the next is being sent.
  void pace() {
    sinceSync = 0;
    const xcb_get_input_focus_cookie_t checkpoint = xcb_get_input_focus(conn);
    if (pending) XcbReply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(conn, *pending, nullptr));
    pending = checkpoint;
  }

  // Once this returns, the server has processed every request sent before it.
  void sync() {
    sinceSync = 0;
    if (pending) xcb_discard_reply(conn, pending->sequence);
    pending.reset();
    connection.roundTrip();
  }

  // Presses or releases a key, following the modifier state it changes.
  void key(uint8_t code, bool down) {
    fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code);
    keysDown[code] = down;
    const uint16_t modifier = keymap.modifierOf(code);
    if (modifier == 0) return;
    if (keymap.isLockKey(code)) {
      if (down) state ^= modifier;
      return;
    }
    if (down) {
      state |= modifier;
    } else {
      // Released: the modifier stays only while another key that sets it is down.
      bool stillHeld = false;
      for (size_t other = 0; other < keysDown.size(); ++other) {
        stillHeld =
            stillHeld || (keysDown[other] && keymap.modifierOf(static_cast<uint8_t>(other)) == modifier);
      }
      if (!stillHeld) state &= static_cast<uint16_t>(~modifier);
    }
  }

  std::optional<X11Keymap::KeyChoice> keyFor(uint32_t keysym) {
    const auto at = found.try_emplace({keysym, state});
    if (at.second) at.first->second = keymap.keycodeFor(keysym, state);
    return at.first->second;
  }

  // A key that is given `keysym` for the rest of the replay; 0 when no key is free.
  uint8_t borrowKeyFor(uint32_t keysym) {
    if (const auto it = borrowed.find(keysym); it != borrowed.end()) return it->second;
    const uint8_t spare = keymap.spareKeycode();
    if (spare == 0) return 0;
    std::vector<uint32_t> old = keymap.keysymsOf(spare);
    const std::vector<xcb_keysym_t> given(old.size(), keysym);
    xcb_change_keyboard_mapping(conn, 1, spare, static_cast<uint8_t>(given.size()), given.data());
    keymap = X11Keymap::read(conn);
    found.clear();
    borrowed.emplace(keysym, spare);
    borrowedFrom.emplace_back(spare, std::move(old));
    return spare;
  }

  void giveBackBorrowedKeys() {
    for (const auto& [code, old] : borrowedFrom) {
      xcb_change_keyboard_mapping(conn, 1, code, static_cast<uint8_t>(old.size()), old.data());
    }
    borrowed.clear();
    borrowedFrom.clear();
  }
};

X11EventPoster::X11EventPoster() = default;

X11EventPoster::~X11EventPoster() { end(); }

bool X11EventPoster::begin() {
  end();
  SigpipeGuard guard;
  auto link = std::make_unique<XTestLink>();
  if (!link->connection.hasExtension(&xcb_test_id) || link->root == XCB_WINDOW_NONE) return false;
  const xcb_get_geometry_cookie_t geometry = xcb_get_geometry(link->conn, link->root);
  link->keymap = X11Keymap::read(link->conn);
  if (XcbReply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(link->conn, geometry, nullptr)); g) {
    link->width = g->width;
    link->height = g->height;
  }
  XcbReply<xcb_query_pointer_reply_t> pointer(
      xcb_query_pointer_reply(link->conn, xcb_query_pointer(link->conn, link->root), nullptr));
  // The locks (Caps Lock, Num Lock) and the keyboard group the person left on.
  if (pointer) link->state = pointer->mask & (0x00ff | 0x6000);
  link_ = std::move(link);
  return true;
}

PostResult X11EventPoster::postMove(double x, double y) {
  if (!link_ || !link_->usable()) return PostResult::Unreachable;
  if (!std::isfinite(x) || !std::isfinite(y)) return PostResult::Inexpressible;
  const double rx = std::round(x);
  const double ry = std::round(y);
  if (rx < 0 || ry < 0 || rx >= link_->width || ry >= link_->height) return PostResult::Inexpressible;
  SigpipeGuard guard;
  link_->fake(XCB_MOTION_NOTIFY, 0, static_cast<int16_t>(rx), static_cast<int16_t>(ry));
  return link_->usable() ? PostResult::Posted : PostResult::Unreachable;
}

PostResult X11EventPoster::postMouse(double x, double y, bool down, int64_t button) {
  // The wheel's buttons are scrolls, and X numbers no button past 255.
  if (button < 1 || button > 255 || (button >= kWheelUp && button <= kWheelUp + 3))
    return PostResult::Inexpressible;
  // A button event carries no position: move first, or the click lands where the pointer is.
  const PostResult moved = postMove(x, y);
  if (moved != PostResult::Posted) return moved;
  SigpipeGuard guard;
  link_->fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, static_cast<uint8_t>(button));
  link_->buttonsDown[static_cast<size_t>(button)] = down;
  return link_->usable() ? PostResult::Posted : PostResult::Unreachable;
}

PostResult X11EventPoster::postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) {
  if (!link_ || !link_->usable()) return PostResult::Unreachable;
  XTestLink& link = *link_;
  SigpipeGuard guard;
  if (!down) {
    // A release goes where its press went; a release without one (the recording began with the
    // key held) is found as a press would be.
    if (const auto it = link.pressedAs.find(keyCode); it != link.pressedAs.end()) {
      const uint8_t code = it->second;
      link.pressedAs.erase(it);
      link.key(code, false);
      return link.usable() ? PostResult::Posted : PostResult::Unreachable;
    }
  }
  uint8_t code = 0;
  uint16_t extra = 0;
  if (!keysym) {
    if (keyCode < kMinKeyCode || keyCode > kMaxKeyCode) return PostResult::Inexpressible;
    code = static_cast<uint8_t>(keyCode);
  } else if (*keysym <= 0 || *keysym > UINT32_MAX) {
    return PostResult::Inexpressible;
  } else if (const auto choice = link.keyFor(static_cast<uint32_t>(*keysym))) {
    code = choice->keycode;
    extra = choice->extraModifiers;
  } else if ((code = link.borrowKeyFor(static_cast<uint32_t>(*keysym))) == 0) {
    return PostResult::Inexpressible;
  }
  if (!down) {
    link.key(code, false);
    return link.usable() ? PostResult::Posted : PostResult::Unreachable;
  }
  // The level the recording had, reached with the modifiers this replay does not hold itself
  // (Shift for a capital on a layout that has it on another key, the third level for AltGr).
  std::vector<uint8_t> modifierKeys;
  for (uint16_t bit = 1; bit != 0 && bit <= 0x80; bit = static_cast<uint16_t>(bit << 1)) {
    if ((extra & bit) == 0) continue;
    if (const uint8_t modifierKey = link.keymap.keyForModifier(bit)) modifierKeys.push_back(modifierKey);
  }
  for (const uint8_t modifierKey : modifierKeys) link.key(modifierKey, true);
  link.key(code, true);
  for (auto it = modifierKeys.rbegin(); it != modifierKeys.rend(); ++it) link.key(*it, false);
  link.pressedAs[keyCode] = code;
  return link.usable() ? PostResult::Posted : PostResult::Unreachable;
}

PostResult X11EventPoster::postScroll(int64_t amount, bool sideways) {
  if (!link_ || !link_->usable()) return PostResult::Unreachable;
  if (amount < -kMaxScrollSteps || amount > kMaxScrollSteps) return PostResult::Inexpressible;
  SigpipeGuard guard;
  // Buttons 4 and 5 scroll up and down, 6 and 7 left and right.
  const uint8_t button = static_cast<uint8_t>((sideways ? kWheelUp + 2 : kWheelUp) + (amount > 0 ? 0 : 1));
  for (int64_t i = 0; i < std::llabs(amount); ++i) {
    link_->fake(XCB_BUTTON_PRESS, button);
    link_->fake(XCB_BUTTON_RELEASE, button);
  }
  return link_->usable() ? PostResult::Posted : PostResult::Unreachable;
}

void X11EventPoster::sync() {
  if (!link_ || !link_->usable()) return;
  SigpipeGuard guard;
  link_->sync();
}

void X11EventPoster::end() {
  if (!link_) return;
  SigpipeGuard guard;
  if (link_->usable()) {
    // A key or button left down would stay stuck for the user after the replay.
    for (size_t code = 0; code < link_->keysDown.size(); ++code) {
      if (link_->keysDown[code]) link_->fake(XCB_KEY_RELEASE, static_cast<uint8_t>(code));
    }
    for (size_t button = 0; button < link_->buttonsDown.size(); ++button) {
      if (link_->buttonsDown[button]) link_->fake(XCB_BUTTON_RELEASE, static_cast<uint8_t>(button));
    }
    link_->sync();
    // The server has now delivered every event, but the applications draw their answer a moment
    // later; without this pause the screenshot taken after a replay shows the screen before it.
    // The borrowed keys keep their keysyms until then, as applications may look the keysym up
    // only when they handle the key.
    std::this_thread::sleep_for(kSettleAfterReplay);
    link_->giveBackBorrowedKeys();
    link_->sync();
  }
  link_.reset();
}

}  // namespace diruri
