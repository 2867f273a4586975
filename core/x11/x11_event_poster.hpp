// Replays clicks, keys and wheel steps into the X display through the XTEST extension.
#pragma once

#include <memory>

#include "core/replay/event_poster.hpp"

namespace diruri {

// Requests are pipelined: nothing waits for the server per event, but the poster never runs more
// than two kSyncInterval batches ahead of the server, so that its input queue cannot overflow and
// drop events. end() waits until the server has processed everything posted.
//
// Keys are posted by keysym through the display's keyboard map (read at begin()); a keysym no key
// produces is given to a key code without keysyms until end().
//
// Limits: key codes 8 to 255 (the X range); coordinates within the 16-bit X range; a scroll of at
// most kMaxScrollSteps wheel steps either way (a larger amount is not a wheel movement a person
// made, and would flood the display). Posting fails (false) once the display has gone away.
// Not thread-safe: one replay at a time, begin() to end() on one thread.
class X11EventPoster final : public EventPoster {
 public:
  static constexpr int kSyncInterval = 256;
  static constexpr int64_t kMaxScrollSteps = 10000;

  X11EventPoster();
  ~X11EventPoster() override;
  X11EventPoster(const X11EventPoster&) = delete;
  X11EventPoster& operator=(const X11EventPoster&) = delete;

  bool begin() override;
  PostResult postMouse(double x, double y, bool down, int64_t button) override;
  PostResult postMove(double x, double y) override;
  PostResult postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) override;
  PostResult postScroll(int64_t amount, bool sideways) override;
  void sync() override;
  void end() override;

 private:
  struct XTestLink;
  std::unique_ptr<XTestLink> link_;
};

}  // namespace diruri
