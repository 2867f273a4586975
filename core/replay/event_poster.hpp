// Posts synthetic input events for a replay: the one seam between the replayer and the platform.
#pragma once

#include <cstdint>
#include <optional>

namespace diruri {

enum class PostResult {
  Posted,
  Inexpressible,  // the platform cannot express the event (a key code or amount out of its range)
  Unreachable,    // the display went away, or was never there: nothing more can be posted
};

class EventPoster {
 public:
  virtual ~EventPoster() = default;

  // Prepares a replay. False when no poster can be reached (no display, no XTest); nothing is
  // posted then.
  virtual bool begin() = 0;

  // Nothing is posted unless the result is Posted.
  virtual PostResult postMouse(double x, double y, bool down) = 0;  // left button at (x, y)
  // The key that produces `keysym` under the keyboard map in force, with the modifiers this replay
  // holds; when no key does, a spare key given that keysym for the moment. Without a keysym (older
  // recordings), the key code as recorded. A release goes to the key its press went to.
  virtual PostResult postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) = 0;
  virtual PostResult postScroll(int64_t amount) = 0;  // vertical; positive is up

  // Returns once the display has handled everything posted so far, so that what the replay looks
  // at next (the front window) follows from it, and so that a pause falls between events.
  virtual void sync() = 0;

  // Ends a replay begun with begin(): releases every key and button the replay pressed and did not
  // release, and gives back any key it gave a keysym for the moment. Safe to call when begin() failed.
  virtual void end() = 0;
};

}  // namespace diruri
