// Wall clock, uptime and the steady clock of waits behind one interface, so tests can fix the time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace diruri {

// Any thread may read the clocks and wait on them at once.
class Clock {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  // Milliseconds since the Unix epoch, UTC.
  virtual int64_t wallMillis() = 0;
  // Milliseconds of a monotonic clock that starts at boot, truncated.
  virtual int64_t uptimeMillis() = 0;

  // The steady clock that waits and pauses are measured on (of any origin; it never goes back).
  virtual SteadyTime steadyNow() { return std::chrono::steady_clock::now(); }
  // Blocks until steadyNow() reaches `deadline`, or until `woken` is notified with `interrupted`
  // true (checked under `lock`, which the caller holds). Returns whether it was interrupted.
  virtual bool waitUntil(SteadyTime deadline, std::condition_variable& woken,
                         std::unique_lock<std::mutex>& lock, const std::function<bool()>& interrupted) {
    return woken.wait_until(lock, deadline, interrupted);
  }
};

// The real clocks (CLOCK_REALTIME and CLOCK_MONOTONIC).
Clock& systemClock();

// "2025-01-31T12:34:56Z": UTC, whole seconds (milliseconds truncated).
std::string formatIso8601(int64_t wallMillis);

// "20250131123456789": UTC, 17 digits including milliseconds.
std::string formatCompactMillis(int64_t wallMillis);

}  // namespace diruri
