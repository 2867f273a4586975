// Which of the pointer's motions a recording keeps: a drag's path, sampled, and the places where the
// pointer came to rest (a hover), but not the plain motion in between.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/capture/captured_input_event.hpp"

namespace diruri {

// Fed every device event in order (motion included, as kMouseMove without buttons), it hands on
// what the log keeps. One thread at a time.
class PointerMotion {
 public:
  // A drag's moves: at most one per this many milliseconds, none closer than kDragSpacingPx to the
  // last one kept, and always the last one before the release.
  static constexpr uint32_t kDragSpacingMs = 10;
  static constexpr double kDragSpacingPx = 3;
  // A rest this long, this far from the last recorded point, with no button held, is a hover.
  static constexpr uint32_t kHoverRestMs = 300;
  static constexpr double kHoverDistancePx = 8;
  // Motion this small does not end a rest: a hand on a mouse is never quite still.
  static constexpr double kStillPx = 2;

  // Appends to `out` what `event` makes: nothing for motion not kept; a hover that ended before it,
  // then the event; each stamped with the pointer's motion count.
  void feed(CapturedInputEvent event, std::vector<CapturedInputEvent>& out);
  // The pointer's last known place and how often it has moved; none before it was seen.
  struct Sighting {
    double x = 0;
    double y = 0;
    uint64_t moves = 0;
  };
  std::optional<Sighting> sighting() const;

 private:
  struct Place {
    double x;
    double y;
    uint32_t ms;
    uint64_t moves;  // the motion count once the pointer was there
  };
  void endRest(const CapturedInputEvent& next, std::vector<CapturedInputEvent>& out);
  void keep(CapturedInputEvent event, uint32_t nowMs, uint64_t moves, std::vector<CapturedInputEvent>& out);

  std::vector<int64_t> held_;                     // buttons down, in the order pressed
  std::optional<Place> pointer_;                  // where the pointer is
  std::optional<Place> rest_;                     // where it has been still since, without a button held
  std::optional<Place> recorded_;                 // the last point the log has
  std::optional<CapturedInputEvent> unkeptMove_;  // a drag's latest move not kept yet
  uint64_t moves_ = 0;
};

}  // namespace diruri
