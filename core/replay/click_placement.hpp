// Where a recorded click lands now: inside its element as it is now, or at the same place inside
// its window wherever that window is now; its release follows its press.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "core/records/front_app.hpp"
#include "core/replay/replay_plan.hpp"

namespace diruri {

// The same place inside the element's current extent as inside its recorded one, in proportion.
Point insideElement(Point recorded, const WindowGeometry& was, const WindowGeometry& now);

// Where a click recorded at `point` inside a window at `recorded` lands in the same window at
// `current`: the same place inside it, kept at its distance from the nearer edge when the size changed.
double followWindow(double point, int32_t recordedStart, int32_t recordedLength, int32_t currentStart,
                    int32_t currentLength);

// Whether a point lies inside a window's extent.
bool isInside(Point point, const WindowGeometry& window);

// The place of a press, kept for its release: the release is moved as the press was.
class PressPlacement {
 public:
  // A press placed on its element found again: how far from the recorded point it landed.
  void onElement(Point recorded, Point placed) {
    shift_ = Point{placed.x - recorded.x, placed.y - recorded.y};
  }
  // A press placed by its window, recorded at `recorded` and now at `current`.
  void byWindow(const WindowGeometry& recorded, const WindowGeometry& current) {
    window_.emplace(recorded, current);
  }
  void clear() {
    shift_.reset();
    window_.reset();
  }
  bool onElement() const { return shift_.has_value(); }
  // Where a recorded point (the press's, or its release's) lands now.
  Point place(Point recorded, bool release) const;

 private:
  std::optional<Point> shift_;
  std::optional<std::pair<WindowGeometry, WindowGeometry>> window_;
};

}  // namespace diruri
