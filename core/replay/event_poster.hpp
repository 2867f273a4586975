// Posts synthetic input events for a replay: the one seam between the replayer and the platform.
#pragma once

#include <cstdint>

namespace diruri {

class EventPoster {
 public:
  virtual ~EventPoster() = default;

  // Prepares a replay. False when no poster can be reached (no display, no XTest); nothing is
  // posted then.
  virtual bool begin() = 0;

  // Each returns false when the platform cannot express the event (a key code or amount out of its
  // range); nothing is posted then.
  virtual bool postMouse(double x, double y, bool down) = 0;  // left button at (x, y)
  virtual bool postKey(int64_t keyCode, bool down) = 0;
  virtual bool postScroll(int64_t amount) = 0;  // vertical; positive is up

  // Ends a replay begun with begin(): flushes, and releases every key and button the replay pressed
  // and did not release. Safe to call when begin() failed.
  virtual void end() = 0;
};

}  // namespace diruri
