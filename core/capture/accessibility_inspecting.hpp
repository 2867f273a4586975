// The accessibility side of a desktop as the composition root builds it: one object that is all of
// its parts. Each caller takes only the parts it uses (the replayer the front window and the
// elements, the redaction the focus watch).
#pragma once

#include "core/capture/element_finding.hpp"
#include "core/capture/focus_watching.hpp"
#include "core/capture/front_window_source.hpp"
#include "core/capture/snapshot_source.hpp"

namespace diruri {

class AccessibilityInspecting : public FrontWindowSource,
                                public ElementFinding,
                                public FocusWatching,
                                public SnapshotSource {};

}  // namespace diruri
