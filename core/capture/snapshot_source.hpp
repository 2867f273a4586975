// What the accessibility bus says of the front application when a recording starts and stops.
#pragma once

#include <optional>

#include "core/records/front_app.hpp"

namespace diruri {

// Called by the thread that starts and stops recordings; blocks for at most its bounded questions
// (the front window, then the bus, under half a second each). The snapshot is the caller's; the
// store writes it (EventStore::writeSnapshot).
class SnapshotSource {
 public:
  virtual ~SnapshotSource() = default;
  // The front application with its focused window's and element's roles; none when nothing is in front.
  virtual std::optional<AccessibilitySnapshot> accessibilitySnapshot() = 0;
};

}  // namespace diruri
