// The recorded pauses, at the speed asked for.
#include "core/replay/pacer.hpp"

#include <algorithm>
#include <cmath>

namespace diruri {

using std::chrono::milliseconds;

bool Pacer::continuesClick(const Planned& event) const {
  if (event.type != EventType::kMouseDown || !lastPress_ || !event.point || !event.monotonicMs ||
      !lastPress_->ms || lastPress_->button != event.button)
    return false;
  const int64_t gap = *event.monotonicMs - *lastPress_->ms;
  return gap >= 0 && gap < kDoubleClickMs &&
         std::hypot(event.point->x - lastPress_->point.x, event.point->y - lastPress_->point.y) <=
             kDoubleClickPx;
}

std::optional<Pacer::Time> Pacer::dueFor(const Planned& event) {
  std::optional<Time> due = recordedDue(event);
  const auto atLeast = [&due](Time t) { due = due ? std::max(*due, t) : t; };
  if (event.type == EventType::kMouseMove && lastPostedAt_) {
    if (speed_ <= 0) atLeast(*lastPostedAt_ + kMoveSpacing);
  }
  // Held until the next press: a key's or button's own release goes at once.
  if (unseen_ && speed_ <= 0 && event.needsWindow()) {
    const Unseen& u = *unseen_;
    if (u.ms && event.monotonicMs && *event.monotonicMs > *u.ms)
      atLeast(u.postedAt + std::min(milliseconds(*event.monotonicMs - *u.ms), kLongestUnseenPause));
  }
  if (hover_) {
    milliseconds rest = kShortestHoverRest;
    const auto& [hoverMs, hoverPostedAt] = *hover_;
    if (speed_ <= 0 && hoverMs && event.monotonicMs) {
      rest = std::clamp(milliseconds(*event.monotonicMs - *hoverMs), kShortestHoverRest,
                        kLongestHoverRestAtSpeedZero);
    }
    atLeast(hoverPostedAt + rest);
  }
  if (event.type == EventType::kMouseDown && lastPress_ && lastPress_->button == event.button &&
      event.point &&
      std::hypot(event.point->x - lastPress_->point.x, event.point->y - lastPress_->point.y) <=
          kDoubleClickPx) {
    const milliseconds doubleClick{kDoubleClickMs};
    if (continuesClick(event)) {
      if (due) due = std::min(*due, lastPress_->postedAt + doubleClick - kDoubleClickMargin);
    } else {
      atLeast(lastPress_->postedAt + doubleClick + kDoubleClickMargin);
    }
  }
  if (due && speed_ > 0) due_ = *due;
  return due;
}

std::optional<Pacer::Time> Pacer::recordedDue(const Planned& event) {
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
  lastPostedAt_ = now;
  if (event.type == EventType::kMouseDown && event.point) {
    lastPress_ = Press{event.button, *event.point, event.monotonicMs, now};
  } else if (event.isKey() || event.type == EventType::kScroll) {
    lastPress_.reset();  // other input between two presses makes them two clicks
  }
  hover_.reset();
  if (event.isHover()) hover_.emplace(event.monotonicMs, now);
  if (event.needsWindow()) unseen_.reset();
  if (event.type == EventType::kMouseDown) lastPressHadElement_ = event.target.has_value();
  const bool enter = event.type == EventType::kKeyDown && (event.keysym == 0xff0d || event.keysym == 0xff8d);
  if ((enter && !event.focus) || (event.type == EventType::kMouseUp && !lastPressHadElement_))
    unseen_ = Unseen{event.monotonicMs, now};
  if (!event.isKey() || !event.keyCode) return;
  if (event.type == EventType::kKeyDown) {
    held_[*event.keyCode] = {event.monotonicMs, now};
  } else {
    held_.erase(*event.keyCode);
  }
}

}  // namespace diruri
