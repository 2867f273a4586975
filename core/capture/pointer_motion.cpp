#include "core/capture/pointer_motion.hpp"

#include <algorithm>
#include <cmath>

namespace diruri {

namespace {

double distance(double x1, double y1, double x2, double y2) { return std::hypot(x1 - x2, y1 - y2); }

}  // namespace

std::optional<PointerMotion::Sighting> PointerMotion::sighting() const {
  if (!pointer_) return std::nullopt;
  return Sighting{pointer_->x, pointer_->y, moves_};
}

void PointerMotion::keep(CapturedInputEvent event, uint32_t nowMs, uint64_t moves,
                         std::vector<CapturedInputEvent>& out) {
  event.ageMs = nowMs - event.deviceMs;  // device time wraps; the difference does not
  event.pointerMoves = moves;
  if (event.x && event.y) recorded_ = Place{*event.x, *event.y, event.deviceMs, moves};
  out.push_back(std::move(event));
}

// A rest ends with whatever comes next; it was a hover when it lasted and lies away from what the
// log has. A press where the pointer rests says where it was by itself.
void PointerMotion::endRest(const CapturedInputEvent& next, std::vector<CapturedInputEvent>& out) {
  if (!rest_ || !held_.empty()) return;
  const Place rest = *rest_;
  rest_.reset();
  if (next.deviceMs - rest.ms < kHoverRestMs) return;
  if (recorded_ && distance(rest.x, rest.y, recorded_->x, recorded_->y) <= kHoverDistancePx) return;
  if (next.type == EventType::kMouseDown && next.x && next.y &&
      distance(rest.x, rest.y, *next.x, *next.y) <= kHoverDistancePx)
    return;
  CapturedInputEvent hover;
  hover.type = EventType::kMouseMove;
  hover.x = rest.x;
  hover.y = rest.y;
  hover.deviceMs = rest.ms;
  keep(std::move(hover), next.deviceMs, rest.moves, out);
}

void PointerMotion::feed(CapturedInputEvent event, std::vector<CapturedInputEvent>& out) {
  const uint32_t now = event.deviceMs;
  if (event.type == EventType::kMouseMove) {
    if (!event.x || !event.y) return;
    const double x = *event.x, y = *event.y;
    if (pointer_ && distance(x, y, pointer_->x, pointer_->y) == 0) return;
    ++moves_;
    pointer_ = Place{x, y, now, moves_};
    if (held_.empty()) {
      if (rest_ && distance(x, y, rest_->x, rest_->y) <= kStillPx) return;
      endRest(event, out);
      rest_ = Place{x, y, now, moves_};
      return;
    }
    event.buttons = held_;
    const bool spaced = !recorded_ || (now - recorded_->ms >= kDragSpacingMs &&
                                       distance(x, y, recorded_->x, recorded_->y) >= kDragSpacingPx);
    event.pointerMoves = moves_;
    if (spaced) {
      unkeptMove_.reset();
      keep(std::move(event), now, moves_, out);
    } else {
      unkeptMove_ = std::move(event);
    }
    return;
  }
  endRest(event, out);
  if (event.x && event.y) {
    if (!pointer_ || distance(*event.x, *event.y, pointer_->x, pointer_->y) > 0) ++moves_;
    pointer_ = Place{*event.x, *event.y, now, moves_};
  }
  if (event.type == EventType::kMouseUp && unkeptMove_) {
    CapturedInputEvent last = std::move(*unkeptMove_);
    unkeptMove_.reset();
    const uint64_t moves = last.pointerMoves;
    keep(std::move(last), now, moves, out);
  }
  if (event.type == EventType::kMouseDown && event.button) {
    if (std::find(held_.begin(), held_.end(), *event.button) == held_.end()) held_.push_back(*event.button);
  } else if (event.type == EventType::kMouseUp && event.button) {
    std::erase(held_, *event.button);
    if (held_.empty()) unkeptMove_.reset();
  }
  const bool pointed = event.x && event.y;
  keep(std::move(event), now, moves_, out);
  // After a release, the pointer rests where it was let go, which the log has.
  if (pointed && held_.empty() && pointer_) rest_ = *pointer_;
}

}  // namespace diruri
