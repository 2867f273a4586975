// Replay's input on a wlroots compositor: one virtual keyboard and one virtual pointer for the
// whole replay.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "core/replay/event_poster.hpp"

namespace diruri {

// Keys go by keysym: each keysym the replay needs is given a key code of the keyboard's own keymap
// (sent again when a new one is added), and the compositor works out the modifiers from the
// modifier keys pressed, as with a real keyboard. A key without a keysym (older recordings) cannot
// be expressed. Pointer positions are root coordinates of the compositor's layout, taken as the
// first output's size. Every wait for the compositor is bounded.
class WaylandEventPoster final : public EventPoster {
 public:
  WaylandEventPoster();
  ~WaylandEventPoster() override;
  WaylandEventPoster(const WaylandEventPoster&) = delete;
  WaylandEventPoster& operator=(const WaylandEventPoster&) = delete;

  bool begin() override;
  PostResult postMouse(double x, double y, bool down, int64_t button) override;
  PostResult postMove(double x, double y) override;
  PostResult postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) override;
  PostResult postScroll(int64_t amount, bool sideways) override;
  void sync() override;
  void end() override;

  struct Session;  // the connection and devices of one replay; defined where they are used

 private:
  bool sendKeymap();
  std::unique_ptr<Session> session_;
};

}  // namespace diruri
