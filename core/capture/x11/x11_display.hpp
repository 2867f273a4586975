// Whether the X display named by $DISPLAY can be reached, and what it offers.
#pragma once

namespace diruri {

// The display opens. Asks nothing else.
bool x11DisplayReachable();

// The display opens and offers the RECORD extension (what system-wide capture needs).
bool x11DisplayOffersRecord();

}  // namespace diruri
