// Wall clock and uptime behind one interface, so tests can fix the time.
#pragma once

#include <cstdint>
#include <string>

namespace diruri {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since the Unix epoch, UTC.
  virtual int64_t wallMillis() = 0;
  // Milliseconds of a monotonic clock that starts at boot, truncated.
  virtual int64_t uptimeMillis() = 0;
};

// The real clocks (CLOCK_REALTIME and CLOCK_MONOTONIC).
Clock& systemClock();

// "2025-01-31T12:34:56Z": UTC, whole seconds (milliseconds truncated).
std::string formatIso8601(int64_t wallMillis);

// "20250131123456789": UTC, 17 digits including milliseconds.
std::string formatCompactMillis(int64_t wallMillis);

}  // namespace diruri
