// The recorded pauses, at the speed asked for.
#include "core/replay/pacer.hpp"

#include <algorithm>

namespace diruri {

using std::chrono::milliseconds;

std::optional<Pacer::Time> Pacer::dueFor(const Planned& event) {
  const std::optional<int64_t> previous = previousMs_;
  if (event.monotonicMs) previousMs_ = event.monotonicMs;
  if (speed_ <= 0) return std::nullopt;
  milliseconds pause{0};
  if (event.monotonicMs && previous && *event.monotonicMs > *previous) {
    pause = std::min(
        milliseconds(static_cast<int64_t>(static_cast<double>(*event.monotonicMs - *previous) / speed_)),
        kLongestPause);
  }
  if (event.isKey()) pause = std::max(pause, kKeySpacing);
  due_ += pause;
  if (event.type == EventType::kKeyUp && event.keyCode) {
    if (const auto it = held_.find(*event.keyCode); it != held_.end()) {
      const auto& [pressedMs, pressedAt] = it->second;
      const bool repeated =
          pressedMs && event.monotonicMs && *event.monotonicMs - *pressedMs >= kRepeatsAfterMs;
      if (!repeated) due_ = std::min(due_, pressedAt + kLongestUnrepeatedHold);
    }
  }
  return due_;
}

void Pacer::restartAt(Time now) { due_ = now; }

void Pacer::notBefore(Time now) { due_ = std::max(due_, now); }

void Pacer::posted(const Planned& event, Time now) {
  if (!event.isKey() || !event.keyCode) return;
  if (event.type == EventType::kKeyDown) {
    held_[*event.keyCode] = {event.monotonicMs, now};
  } else {
    held_.erase(*event.keyCode);
  }
}

}  // namespace diruri
