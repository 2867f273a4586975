// Which window is in front and where: the one thing the accessibility side needs from the
// windowing system.
#pragma once

#include <optional>

#include "core/records/front_app.hpp"

namespace diruri {

// Safe from several threads at once (the capture thread asks for each event, a replay while it
// waits for its window); each call blocks for at most its bounded question to the windowing system
// (under half a second). What it returns is the caller's.
class FrontWindowSource {
 public:
  virtual ~FrontWindowSource() = default;
  // The application in front with its window's place when known; none when nothing is in front or
  // the windowing system cannot be reached.
  virtual std::optional<FrontWindow> frontWindow() = 0;
  // False when this windowing system tells nothing about windows, whatever is in front.
  virtual bool knowsFrontWindow() { return true; }

  // The application of frontWindow().
  std::optional<ForegroundAppSnapshot> foregroundSnapshot() {
    std::optional<FrontWindow> front = frontWindow();
    if (!front) return std::nullopt;
    return std::move(front->app);
  }
};

}  // namespace diruri
