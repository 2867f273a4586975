// Placing a recorded click in its element or its window as they are now.
#include "core/replay/click_placement.hpp"

#include <algorithm>

namespace diruri {

Point insideElement(Point recorded, const WindowGeometry& was, const WindowGeometry& now) {
  const auto place = [](double at, int32_t wasStart, int32_t wasLength, int32_t nowStart, int32_t nowLength) {
    const double share = wasLength > 0 ? (at - wasStart) / wasLength : 0.5;
    const double placed = nowStart + std::clamp(share, 0.0, 1.0) * nowLength;
    return std::clamp(placed, static_cast<double>(nowStart),
                      static_cast<double>(nowStart + std::max(nowLength - 1, 0)));
  };
  return {place(recorded.x, was.x, was.width, now.x, now.width),
          place(recorded.y, was.y, was.height, now.y, now.height)};
}

double followWindow(double point, int32_t recordedStart, int32_t recordedLength, int32_t currentStart,
                    int32_t currentLength) {
  const double offset = point - recordedStart;
  if (recordedLength == currentLength || offset <= recordedLength / 2.0) return currentStart + offset;
  return currentStart + currentLength - (recordedLength - offset);
}

bool isInside(Point point, const WindowGeometry& w) {
  return point.x >= w.x && point.y >= w.y && point.x < w.x + w.width && point.y < w.y + w.height;
}

Point PressPlacement::place(Point recorded, bool release) const {
  if (release && shift_) return Point{recorded.x + shift_->x, recorded.y + shift_->y};
  if (!window_) return recorded;
  const auto& [was, now] = *window_;
  return Point{followWindow(recorded.x, was.x, was.width, now.x, now.width),
               followWindow(recorded.y, was.y, was.height, now.y, now.height)};
}

}  // namespace diruri
