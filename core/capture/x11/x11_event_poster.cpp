// Replays clicks, keys and wheel steps into the X display through the XTEST extension.
#include "core/capture/x11/x11_event_poster.hpp"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <bitset>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>

#include "core/capture/x11/sigpipe_guard.hpp"
#include "core/capture/x11/x11_display.hpp"

namespace diruri {

namespace {

constexpr std::chrono::milliseconds kSettleAfterReplay{200};

constexpr uint8_t kLeftButton = 1;
constexpr uint8_t kWheelUp = 4;
constexpr uint8_t kWheelDown = 5;
constexpr int64_t kMinKeyCode = 8;
constexpr int64_t kMaxKeyCode = 255;

}  // namespace

struct X11EventPoster::Session {
  xcb_connection_t* conn = nullptr;
  xcb_window_t root = XCB_WINDOW_NONE;
  int sinceSync = 0;
  // What this replay pressed and has not released, to be released at the end.
  std::bitset<256> keysDown;
  bool buttonDown = false;
  std::optional<xcb_get_input_focus_cookie_t> pending;

  ~Session() {
    if (conn != nullptr) xcb_disconnect(conn);
  }

  bool usable() const { return conn != nullptr && !xcb_connection_has_error(conn); }

  void fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0) {
    xcb_test_fake_input(conn, type, detail, XCB_CURRENT_TIME, root, x, y, 0);
    if (++sinceSync >= kSyncInterval) pace();
  }

  // At most two intervals of requests in flight: each checkpoint waits for the one before it, so
  // the server works through one interval while the next is being sent.
  void pace() {
    sinceSync = 0;
    const xcb_get_input_focus_cookie_t checkpoint = xcb_get_input_focus(conn);
    if (pending) std::free(xcb_get_input_focus_reply(conn, *pending, nullptr));
    pending = checkpoint;
  }

  // Once this returns, the server has processed every request sent before it.
  void sync() {
    sinceSync = 0;
    if (pending) xcb_discard_reply(conn, pending->sequence);
    pending.reset();
    std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
  }
};

X11EventPoster::X11EventPoster() = default;

X11EventPoster::~X11EventPoster() { end(); }

bool X11EventPoster::begin() {
  end();
  SigpipeGuard guard;
  auto s = std::make_unique<Session>();
  int screenNumber = 0;
  {
    std::lock_guard<std::mutex> lock(x11ConnectMutex());
    s->conn = xcb_connect(nullptr, &screenNumber);
  }
  if (xcb_connection_has_error(s->conn)) return false;
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(s->conn, &xcb_test_id);
  if (ext == nullptr || !ext->present) return false;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(s->conn));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) return false;
  s->root = it.data->root;
  session_ = std::move(s);
  return true;
}

bool X11EventPoster::postMouse(double x, double y, bool down) {
  if (!session_ || !session_->usable()) return false;
  if (!std::isfinite(x) || !std::isfinite(y)) return false;
  const double rx = std::round(x);
  const double ry = std::round(y);
  if (rx < INT16_MIN || rx > INT16_MAX || ry < INT16_MIN || ry > INT16_MAX) return false;
  SigpipeGuard guard;
  // A button event carries no position: move first, or the click lands where the pointer is.
  session_->fake(XCB_MOTION_NOTIFY, 0, static_cast<int16_t>(rx), static_cast<int16_t>(ry));
  session_->fake(down ? XCB_BUTTON_PRESS : XCB_BUTTON_RELEASE, kLeftButton);
  session_->buttonDown = down;
  return session_->usable();
}

bool X11EventPoster::postKey(int64_t keyCode, bool down) {
  if (!session_ || !session_->usable()) return false;
  if (keyCode < kMinKeyCode || keyCode > kMaxKeyCode) return false;
  SigpipeGuard guard;
  const auto code = static_cast<uint8_t>(keyCode);
  session_->fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code);
  session_->keysDown[code] = down;
  return session_->usable();
}

bool X11EventPoster::postScroll(int64_t amount) {
  if (!session_ || !session_->usable()) return false;
  if (amount < -kMaxScrollSteps || amount > kMaxScrollSteps) return false;
  SigpipeGuard guard;
  const uint8_t button = amount > 0 ? kWheelUp : kWheelDown;
  for (int64_t i = 0; i < std::llabs(amount); ++i) {
    session_->fake(XCB_BUTTON_PRESS, button);
    session_->fake(XCB_BUTTON_RELEASE, button);
  }
  return session_->usable();
}

void X11EventPoster::end() {
  if (!session_) return;
  SigpipeGuard guard;
  if (session_->usable()) {
    // A key or button left down would stay stuck for the user after the replay.
    for (size_t code = 0; code < session_->keysDown.size(); ++code) {
      if (session_->keysDown[code]) session_->fake(XCB_KEY_RELEASE, static_cast<uint8_t>(code));
    }
    if (session_->buttonDown) session_->fake(XCB_BUTTON_RELEASE, kLeftButton);
    session_->sync();
    // The server has now delivered every event, but the applications draw their answer a moment
    // later; without this pause the screenshot taken after a replay shows the screen before it.
    std::this_thread::sleep_for(kSettleAfterReplay);
  }
  session_.reset();
}

}  // namespace diruri
