// The system clocks and the two timestamp forms the system writes.
#include "core/platform/clock.hpp"

#include <time.h>

#include <cstdio>
#include <ctime>

namespace diruri {

namespace {

class SystemClock final : public Clock {
 public:
  int64_t wallMillis() override { return read(CLOCK_REALTIME); }
  int64_t uptimeMillis() override { return read(CLOCK_MONOTONIC); }

 private:
  static int64_t read(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }
};

// Floor division, so times before 1970 still split into a valid second and millisecond.
std::tm utcParts(int64_t wallMillis, int& millis) {
  int64_t secs = wallMillis / 1000;
  int64_t ms = wallMillis % 1000;
  if (ms < 0) {
    ms += 1000;
    --secs;
  }
  millis = static_cast<int>(ms);
  const time_t t = static_cast<time_t>(secs);
  std::tm parts{};
  gmtime_r(&t, &parts);
  return parts;
}

}  // namespace

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

std::string formatIso8601(int64_t wallMillis) {
  int ms;
  const std::tm p = utcParts(wallMillis, ms);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday,
                p.tm_hour, p.tm_min, p.tm_sec);
  return buf;
}

std::string formatCompactMillis(int64_t wallMillis) {
  int ms;
  const std::tm p = utcParts(wallMillis, ms);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d%03d", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday,
                p.tm_hour, p.tm_min, p.tm_sec, ms);
  return buf;
}

}  // namespace diruri
