// Replay's input on GNOME, whose compositor offers no virtual input protocol: its remote-desktop
// service on the session bus.
#pragma once

#include <memory>

#include "core/replay/event_poster.hpp"

namespace diruri {

// One remote-desktop session per replay, with a screen-cast stream of the primary monitor beside
// it: the compositor places the pointer only in a stream's coordinates. Keys go by keysym, the
// compositor finding a key for each; a key without a keysym (older recordings) cannot be expressed.
// A point outside the monitor cannot be expressed either. begin() is false where no such service
// answers (another compositor, no session bus). Every call is bounded in time.
class MutterRemoteDesktopPoster final : public EventPoster {
 public:
  MutterRemoteDesktopPoster();
  ~MutterRemoteDesktopPoster() override;
  MutterRemoteDesktopPoster(const MutterRemoteDesktopPoster&) = delete;
  MutterRemoteDesktopPoster& operator=(const MutterRemoteDesktopPoster&) = delete;

  bool begin() override;
  PostResult postMouse(double x, double y, bool down, int64_t button) override;
  PostResult postMove(double x, double y) override;
  PostResult postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) override;
  PostResult postScroll(int64_t amount, bool sideways) override;
  void sync() override;
  void end() override;

  struct Session;  // the connection, session and stream of one replay

 private:
  std::unique_ptr<Session> session_;
};

}  // namespace diruri
