// A Clock whose wall time and uptime the test sets; nothing in it moves by itself.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

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

  // From now on the steady time is the clock's own: it stands still but for waits, which end at
  // once at their deadline, so pacing is seen without sleeping. Slept tells how far it moved.
  void useOwnSteadyTime() { ownSteady_ = true; }
  SteadyTime steadyNow() override {
    if (!ownSteady_) return Clock::steadyNow();
    std::lock_guard lock(steadyMutex_);
    return steady_;
  }
  bool waitUntil(SteadyTime deadline, std::condition_variable& woken, std::unique_lock<std::mutex>& lock,
                 const std::function<bool()>& interrupted) override {
    if (!ownSteady_) return Clock::waitUntil(deadline, woken, lock, interrupted);
    if (interrupted()) return true;
    std::lock_guard steadyLock(steadyMutex_);
    steady_ = std::max(steady_, deadline);
    return false;
  }
  std::chrono::milliseconds slept() {
    std::lock_guard lock(steadyMutex_);
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady_ - SteadyTime{});
  }

 private:
  std::atomic<int64_t> wall_;
  std::atomic<int64_t> uptime_;
  std::atomic<int64_t> wallStep_{0};
  std::atomic<bool> ownSteady_{false};
  std::mutex steadyMutex_;
  SteadyTime steady_{};
};

}  // namespace diruri::test
