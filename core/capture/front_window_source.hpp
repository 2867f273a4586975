// Which window is in front and where: the one thing the accessibility side needs from the
// windowing system.
#pragma once

#include <optional>

#include "core/records/front_app.hpp"

namespace diruri {

class FrontWindowSource {
 public:
  virtual ~FrontWindowSource() = default;
  // The application in front with its window's place when known; none when nothing is in front or
  // the windowing system cannot be reached. Safe from several threads.
  virtual std::optional<FrontWindow> frontWindow() = 0;
  // False when this windowing system tells nothing about windows, whatever is in front.
  virtual bool knowsFrontWindow() { return true; }
};

}  // namespace diruri
