// A registry listing from a connection of its own, with the wait for the compositor's answer bounded.
#include "core/wayland/wayland_globals.hpp"

#include <poll.h>
#include <wayland-client.h>

#include <cstdarg>
#include <memory>

namespace diruri {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Listing {
  std::set<std::string> names;
  bool done = false;
};

void onGlobal(void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
  if (interface != nullptr) static_cast<Listing*>(data)->names.insert(interface);
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
constexpr wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

void onDone(void* data, wl_callback*, uint32_t) { static_cast<Listing*>(data)->done = true; }
constexpr wl_callback_listener kDoneListener = {onDone};

struct Disconnect {
  void operator()(wl_display* display) const { wl_display_disconnect(display); }
};

// Reads and dispatches until `done` or the deadline; false on timeout or a broken connection.
bool dispatchUntil(wl_display* display, const bool& done, SteadyClock::time_point deadline) {
  while (!done) {
    while (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) return false;
    }
    if (wl_display_flush(display) < 0) {
      wl_display_cancel_read(display);
      return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    pollfd readable{wl_display_get_fd(display), POLLIN, 0};
    if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) <= 0) {
      wl_display_cancel_read(display);
      return false;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) return false;
  }
  return true;
}

}  // namespace

std::optional<std::set<std::string>> waylandGlobals(std::chrono::milliseconds budget) {
  static const bool silenced = [] {
    wl_log_set_handler_client([](const char*, va_list) {});
    return true;
  }();
  (void)silenced;
  const auto deadline = SteadyClock::now() + budget;
  std::unique_ptr<wl_display, Disconnect> display(wl_display_connect(nullptr));
  if (!display) return std::nullopt;
  Listing listing;
  wl_registry* registry = wl_display_get_registry(display.get());
  wl_registry_add_listener(registry, &kRegistryListener, &listing);
  wl_callback* sync = wl_display_sync(display.get());
  wl_callback_add_listener(sync, &kDoneListener, &listing);
  const bool answered = dispatchUntil(display.get(), listing.done, deadline);
  wl_callback_destroy(sync);
  wl_registry_destroy(registry);
  if (!answered) return std::nullopt;
  return listing.names;
}

}  // namespace diruri
