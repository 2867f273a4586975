// The time left until a deadline, in the whole milliseconds that poll() and bus calls take.
#pragma once

#include <algorithm>
#include <chrono>

namespace diruri {

// Rounded up, so that a wait of this many milliseconds never ends before the deadline (rounding
// down made a 300 ms limit fire after 299.98 ms); 0 once the deadline has passed, at most `cap`.
inline int millisBetween(std::chrono::steady_clock::time_point now,
                         std::chrono::steady_clock::time_point deadline, int cap = 1 << 30) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), cap));
}

inline int millisUntil(std::chrono::steady_clock::time_point deadline, int cap = 1 << 30) {
  return millisBetween(std::chrono::steady_clock::now(), deadline, cap);
}

}  // namespace diruri
