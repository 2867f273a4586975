// A registry listing from a connection of its own, with the wait for the compositor's answer bounded.
#include "core/wayland/wayland_globals.hpp"

#include <memory>

#include "core/wayland/wayland_dispatch.hpp"

namespace diruri {

namespace {

void onGlobal(void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
  if (interface != nullptr) static_cast<std::set<std::string>*>(data)->insert(interface);
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
constexpr wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

}  // namespace

std::optional<std::set<std::string>> waylandGlobals(std::chrono::milliseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  std::unique_ptr<wl_display, WaylandDisconnect> display(wl_display_connect(nullptr));
  if (!display) return std::nullopt;
  std::set<std::string> names;
  if (!listGlobals(display.get(), kRegistryListener, &names, deadline)) return std::nullopt;
  return names;
}

}  // namespace diruri
