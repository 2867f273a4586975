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

// The Linux input code of a mouse button numbered as X numbers them (1 left, 2 middle, 3 right, 8
// back, 9 forward, …); 0 for the wheel's buttons (4 to 7) and numbers no mouse has.
inline uint32_t linuxButtonCode(int64_t button) {
  constexpr uint32_t kLeft = 0x110, kRight = 0x111, kMiddle = 0x112, kSide = 0x113;
  if (button == 1) return kLeft;
  if (button == 2) return kMiddle;
  if (button == 3) return kRight;
  if (button >= 8 && button <= 15) return kSide + static_cast<uint32_t>(button - 8);
  return 0;
}

class EventPoster {
 public:
  virtual ~EventPoster() = default;

  // Prepares a replay. False when no poster can be reached (no display, no XTest); nothing is
  // posted then.
  virtual bool begin() = 0;

  // Nothing is posted unless the result is Posted.
  // A press or release of `button` (1 left, 2 middle, 3 right, 8 and up the others) at (x, y).
  virtual PostResult postMouse(double x, double y, bool down, int64_t button) = 0;
  // The pointer moved to (x, y), with whatever buttons this replay holds.
  virtual PostResult postMove(double x, double y) = 0;
  // The key that produces `keysym` under the keyboard map in force, with the modifiers this replay
  // holds; when no key does, a spare key given that keysym for the moment. Without a keysym (older
  // recordings), the key code as recorded. A release goes to the key its press went to.
  virtual PostResult postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) = 0;
  // Wheel steps: positive is up (or left, sideways).
  virtual PostResult postScroll(int64_t amount, bool sideways) = 0;

  // Returns once the display has handled everything posted so far, so that what the replay looks
  // at next (the front window) follows from it, and so that a pause falls between events.
  virtual void sync() = 0;

  // Ends a replay begun with begin(): releases every key and button the replay pressed and did not
  // release, and gives back any key it gave a keysym for the moment. Safe to call when begin() failed.
  virtual void end() = 0;
};

}  // namespace diruri
