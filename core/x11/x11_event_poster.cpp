// Replays clicks, keys and wheel steps into the X display through the XTEST extension.
#include "core/x11/x11_event_poster.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <bitset>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>

#include "core/x11/sigpipe_guard.hpp"
#include "core/x11/x11_connection.hpp"

namespace diruri {

namespace {

constexpr std::chrono::milliseconds kSettleAfterReplay{200};

constexpr uint8_t kLeftButton = 1;
constexpr uint8_t kWheelUp = 4;
constexpr uint8_t kWheelDown = 5;
constexpr int64_t kMinKeyCode = 8;
constexpr int64_t kMaxKeyCode = 255;

}  // namespace

// The XTEST connection of one replay, from begin() to end().
struct X11EventPoster::XTestLink {
  X11Connection connection;
  xcb_connection_t* conn = connection.get();
  xcb_window_t root = connection.root();
  int sinceSync = 0;
  // What this replay pressed and has not released, to be released at the end.
  std::bitset<256> keysDown;
  bool buttonDown = false;
  std::optional<xcb_get_input_focus_cookie_t> pending;

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
};

X11EventPoster::X11EventPoster() = default;

X11EventPoster::~X11EventPoster() { end(); }

bool X11EventPoster::begin() {
  end();
  SigpipeGuard guard;
  auto link = std::make_unique<XTestLink>();
  if (!link->connection.hasExtension(&xcb_test_id) || link->root == XCB_WINDOW_NONE) return false;
  link_ = std::move(link);
  return true;
}

bool X11EventPoster::postMouse(double x, double y, bool down) {
  if (!link_ || !link_->usable()) return false;
  if (!std::isfinite(x) || !std::isfinite(y)) return false;
  const double rx = std::round(x);
  const double ry = std::round(y);
  if (rx < INT16_MIN || rx > INT16_MAX || ry < INT16_MIN || ry > INT16_MAX) return false;
  SigpipeGuard guard;
  // A button event carries no position: move first, or the click lands where the pointer is.
  link_->fake(XCB_MOTION_NOTIFY, 0, static_cast<int16_t>(rx), static_cast<int16_t>(ry));
  link_->fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, kLeftButton);
  link_->buttonDown = down;
  return link_->usable();
}

bool X11EventPoster::postKey(int64_t keyCode, bool down) {
  if (!link_ || !link_->usable()) return false;
  if (keyCode < kMinKeyCode || keyCode > kMaxKeyCode) return false;
  SigpipeGuard guard;
  const auto code = static_cast<uint8_t>(keyCode);
  link_->fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code);
  link_->keysDown[code] = down;
  return link_->usable();
}

bool X11EventPoster::postScroll(int64_t amount) {
  if (!link_ || !link_->usable()) return false;
  if (amount < -kMaxScrollSteps || amount > kMaxScrollSteps) return false;
  SigpipeGuard guard;
  const uint8_t button = amount > 0 ? kWheelUp : kWheelDown;
  for (int64_t i = 0; i < std::llabs(amount); ++i) {
    link_->fake(XCB_BUTTON_PRESS, button);
    link_->fake(XCB_BUTTON_RELEASE, button);
  }
  return link_->usable();
}

void X11EventPoster::end() {
  if (!link_) return;
  SigpipeGuard guard;
  if (link_->usable()) {
    // A key or button left down would stay stuck for the user after the replay.
    for (size_t code = 0; code < link_->keysDown.size(); ++code) {
      if (link_->keysDown[code]) link_->fake(XCB_KEY_RELEASE, static_cast<uint8_t>(code));
    }
    if (link_->buttonDown) link_->fake(XCB_BUTTON_RELEASE, kLeftButton);
    link_->sync();
    // The server has now delivered every event, but the applications draw their answer a moment
    // later; without this pause the screenshot taken after a replay shows the screen before it.
    std::this_thread::sleep_for(kSettleAfterReplay);
  }
  link_.reset();
}

}  // namespace diruri
