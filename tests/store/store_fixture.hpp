// Shared setup for the store tests: a temporary workspace, the fault-injecting file system over the
// real one, and a clock fixed at 2025-01-31 12:34:56.789 UTC.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>

#include "core/store/event_store.hpp"
#include "tests/support/fault_injecting_file_system.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri::test {

inline constexpr int64_t kCheckoutFlowMillis = 1738326896789;  // 2025-01-31T12:34:56.789Z
inline constexpr int64_t kBootUptimeMillis = 86400123;

// Runs f with the process's file-size limit lowered to `bytes`: a real write past it stops part-way
// and then fails with EFBIG.
template <typename F>
void withFileSizeLimit(rlim_t bytes, F&& f) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  rlimit lowered = saved;
  lowered.rlim_cur = bytes;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
  f();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
}

class StoreTest : public ::testing::Test {
 protected:
  TempDir temp;
  FaultInjectingFileSystem fs{test::realFileSystem()};
  FixedClock clock{kCheckoutFlowMillis, kBootUptimeMillis};
  EventStore store{fs, clock};

  std::string workspace() const { return temp.path() + "/shop-app"; }
  std::string logPath(const RecordingSession& s) const { return s.sessionPath + "/events.jsonl"; }
  std::string metadataPath(const RecordingSession& s) const { return s.sessionPath + "/session.json"; }
  std::string summaryPath(const RecordingSession& s) const { return s.sessionPath + "/summary.json"; }

  RecordingSession checkoutFlow() { return store.createSession(workspace(), "Checkout Flow"); }

  static RecordingEvent inputEvent(const RecordingSession& s, std::string id, std::string type) {
    RecordingEvent e;
    e.id = std::move(id);
    e.ts = "2025-01-31T12:34:58Z";
    e.monotonicMs = 86402007;
    e.type = std::move(type);
    e.payload.sessionId = s.sessionId;
    return e;
  }
};

}  // namespace diruri::test
