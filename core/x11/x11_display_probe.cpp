// The display's offer, kept between status calls.
#include "core/x11/x11_display_probe.hpp"

#include <xcb/record.h>

#include <chrono>
#include <mutex>
#include <string>

#include "core/platform/sigpipe_guard.hpp"
#include "core/x11/x11_connection.hpp"

namespace diruri {

namespace {
constexpr auto kRetryUnreachableAfter = std::chrono::seconds(1);
}  // namespace

struct X11DisplayProbe::State {
  std::function<std::string()> displayName;
  std::mutex mutex;
  std::string display;  // the name the rest describes
  bool probed = false;
  std::unique_ptr<X11Connection> connection;
  Offer offer;
  std::chrono::steady_clock::time_point failedAt;
};

X11DisplayProbe::X11DisplayProbe(std::function<std::string()> displayName)
    : state_(std::make_unique<State>()) {
  state_->displayName = std::move(displayName);
}
X11DisplayProbe::~X11DisplayProbe() = default;

X11DisplayProbe::Offer X11DisplayProbe::current() {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  const std::string display = s.displayName();
  const auto now = std::chrono::steady_clock::now();
  if (s.probed && display == s.display) {
    if (s.connection && s.connection->alive()) return s.offer;
    if (!s.connection && now - s.failedAt < kRetryUnreachableAfter) return s.offer;
  }
  s.probed = true;
  s.display = display;
  s.offer = Offer{};
  s.connection.reset();
  s.failedAt = now;
  if (display.empty()) return s.offer;
  SigpipeGuard guard;
  auto connection = std::make_unique<X11Connection>(display.c_str());
  if (!connection->ok()) return s.offer;
  s.offer.reachable = true;
  s.offer.record = connection->hasExtension(&xcb_record_id);
  s.connection = std::move(connection);
  return s.offer;
}

}  // namespace diruri
