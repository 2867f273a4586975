// Shared by the fuzz targets: the invariant check.
#pragma once

#include <cstdlib>

namespace diruri::fuzz {

// A broken invariant must stop the fuzzer with a crash it can save, not pass silently.
inline void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace diruri::fuzz
