// Whether the X display named by $DISPLAY can be reached, and what it offers.
#pragma once

#include <mutex>

namespace diruri {

// Held around every connect to the display: the X authority lookup that a connect makes writes
// a buffer shared by the whole process, so two threads connecting at once would corrupt it.
std::mutex& x11ConnectMutex();

// The display opens. Asks nothing else.
bool x11DisplayReachable();

// The display opens and offers the RECORD extension (what system-wide capture needs).
bool x11DisplayOffersRecord();

}  // namespace diruri
