// Waiting for a Wayland compositor's answers without ever waiting past a deadline.
#pragma once

#include <poll.h>
#include <wayland-client.h>

#include <chrono>
#include <functional>

#include "core/platform/deadline.hpp"

namespace diruri {

// Reads and dispatches events until `done` holds or the deadline passes; false on timeout or a
// broken connection. libwayland's own log messages are silenced once: stderr carries only the
// usage text.
inline bool dispatchUntil(wl_display* display, const std::function<bool()>& done,
                          std::chrono::steady_clock::time_point deadline) {
  static const bool silenced = [] {
    wl_log_set_handler_client([](const char*, va_list) {});
    return true;
  }();
  (void)silenced;
  while (!done()) {
    while (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return false;
      if (done()) return true;
    }
    if (wl_display_flush(display) < 0) {
      wl_display_cancel_read(display);
      return false;
    }
    const int left = millisUntil(deadline);
    pollfd readable{wl_display_get_fd(display), POLLIN, 0};
    if (left <= 0 || ::poll(&readable, 1, left) <= 0) {
      wl_display_cancel_read(display);
      return false;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) return false;
  }
  return true;
}

// True once the compositor has handled everything sent before, within the deadline.
inline bool roundTrip(wl_display* display, std::chrono::steady_clock::time_point deadline) {
  bool done = false;
  static constexpr wl_callback_listener kDone = {
      [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
  wl_callback* callback = wl_display_sync(display);
  wl_callback_add_listener(callback, &kDone, &done);
  const bool answered = dispatchUntil(
      display, [&] { return done; }, deadline);
  wl_callback_destroy(callback);
  return answered;
}

// Hands every global the compositor announces to `listener` (which binds what it wants), within
// the deadline.
inline bool listGlobals(wl_display* display, const wl_registry_listener& listener, void* data,
                        std::chrono::steady_clock::time_point deadline) {
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &listener, data);
  const bool listed = roundTrip(display, deadline);
  wl_registry_destroy(registry);
  return listed;
}

struct WaylandDisconnect {
  void operator()(wl_display* display) const { wl_display_disconnect(display); }
};

}  // namespace diruri
