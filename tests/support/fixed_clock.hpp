// A Clock whose wall time and uptime the test sets; nothing in it moves by itself.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/platform/clock.hpp"

namespace diruri::test {

// Safe to read from several threads while the test sets it.
class FixedClock final : public Clock {
 public:
  FixedClock(int64_t wallMillis, int64_t uptimeMillis) : wall_(wallMillis), uptime_(uptimeMillis) {}

  int64_t wallMillis() override { return wall_.fetch_add(wallStep_.load()); }
  int64_t uptimeMillis() override { return uptime_.load(); }

  void setWallMillis(int64_t ms) { wall_.store(ms); }
  void setUptimeMillis(int64_t ms) { uptime_.store(ms); }
  void advance(int64_t ms) {
    wall_.fetch_add(ms);
    uptime_.fetch_add(ms);
  }
  // Each wallMillis() read moves the wall time on by this much afterwards (0: stands still), so a
  // test can tell which of several reads a value came from.
  void setWallStepPerRead(int64_t ms) { wallStep_.store(ms); }

 private:
  std::atomic<int64_t> wall_;
  std::atomic<int64_t> uptime_;
  std::atomic<int64_t> wallStep_{0};
};

}  // namespace diruri::test
