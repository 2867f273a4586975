// The compositor announces every window as a handle right after the manager is bound, each with its
// title, app_id and state and then `done`; the activated one is the front window.
#include "core/wayland/foreign_toplevel.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/text/unicode.hpp"
#include "core/wayland/wayland_dispatch.hpp"
#include "foreign_toplevel-client-protocol.h"

namespace diruri {

namespace {

constexpr uint32_t kActivated = ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;

struct Shown {
  std::optional<std::string> title;
  std::string appId;
  bool activated = false;
};

struct Toplevel {
  zwlr_foreign_toplevel_handle_v1* handle = nullptr;
  // A window's changes arrive one event at a time and hold together only once `done` follows.
  Shown pending, shown;
  bool done = false, closed = false;
};

struct Listing {
  zwlr_foreign_toplevel_manager_v1* manager = nullptr;
  std::vector<std::unique_ptr<Toplevel>> toplevels;
  bool finished = false;

  ~Listing() {
    for (const auto& toplevel : toplevels) zwlr_foreign_toplevel_handle_v1_destroy(toplevel->handle);
    if (manager != nullptr) zwlr_foreign_toplevel_manager_v1_destroy(manager);
  }
  bool allDone() const {
    return std::all_of(toplevels.begin(), toplevels.end(),
                       [](const auto& toplevel) { return toplevel->done || toplevel->closed; });
  }
};

Toplevel& of(void* data) { return *static_cast<Toplevel*>(data); }

void onTitle(void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
  of(data).pending.title = sanitizeUtf8(title != nullptr ? title : "");
}
void onAppId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
  of(data).pending.appId = sanitizeUtf8(appId != nullptr ? appId : "");
}
void onOutput(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
void onState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* state) {
  const auto* values = static_cast<const uint32_t*>(state->data);
  const auto* end = values + state->size / sizeof(uint32_t);
  of(data).pending.activated = std::find(values, end, kActivated) != end;
}
void onDone(void* data, zwlr_foreign_toplevel_handle_v1*) {
  of(data).shown = of(data).pending;
  of(data).done = true;
}
void onClosed(void* data, zwlr_foreign_toplevel_handle_v1*) { of(data).closed = true; }
void onParent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}
constexpr zwlr_foreign_toplevel_handle_v1_listener kHandleListener = {onTitle, onAppId, onOutput, onOutput,
                                                                      onState, onDone,  onClosed, onParent};

void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
  auto& toplevels = static_cast<Listing*>(data)->toplevels;
  toplevels.push_back(std::make_unique<Toplevel>());
  toplevels.back()->handle = handle;
  zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kHandleListener, toplevels.back().get());
}
void onFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
  static_cast<Listing*>(data)->finished = true;
}
constexpr zwlr_foreign_toplevel_manager_v1_listener kManagerListener = {onToplevel, onFinished};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  Listing& listing = *static_cast<Listing*>(data);
  if (interface == nullptr ||
      std::string_view(interface) != zwlr_foreign_toplevel_manager_v1_interface.name ||
      listing.manager != nullptr)
    return;
  listing.manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
      registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min<uint32_t>(version, 3)));
  zwlr_foreign_toplevel_manager_v1_add_listener(listing.manager, &kManagerListener, &listing);
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
constexpr wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

std::optional<FrontWindow> foreignToplevelFrontWindow(std::chrono::milliseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  std::unique_ptr<wl_display, WaylandDisconnect> display(wl_display_connect(nullptr));
  if (!display) return std::nullopt;
  // Declared after the display: its proxies go before the connection does.
  Listing listing;
  const auto allDone = [&] { return listing.allDone(); };
  const bool listed = listGlobals(display.get(), kRegistryListener, &listing, deadline) &&
                      listing.manager != nullptr && roundTrip(display.get(), deadline) &&
                      dispatchUntil(display.get(), allDone, deadline);
  std::optional<FrontWindow> front;
  if (listed) {
    for (const auto& toplevel : listing.toplevels) {
      if (toplevel->closed || !toplevel->shown.activated) continue;
      front.emplace();
      if (!toplevel->shown.appId.empty()) front->app.applicationId = toplevel->shown.appId;
      front->app.appName = toplevel->shown.appId;
      front->app.windowTitle = toplevel->shown.title;
      break;
    }
  }
  // The manager is let go the way the protocol asks: stopped, and destroyed once it says it is
  // finished (within what is left of the budget; the disconnect ends it regardless).
  if (listing.manager != nullptr) {
    zwlr_foreign_toplevel_manager_v1_stop(listing.manager);
    const auto finished = [&] { return listing.finished; };
    dispatchUntil(display.get(), finished, deadline);
  }
  return front;
}

}  // namespace diruri
