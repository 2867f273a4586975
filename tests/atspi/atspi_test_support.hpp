// What the accessibility tests share: one desktop per process, and polling.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/mcp/default_graph.hpp"
#include "core/platform/clock.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/captured_output.hpp"
#include "tests/support/poll_until.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/x11_inspector.hpp"

namespace diruri::test {

// One desktop for the whole test process, started at first use and stopped after the last test:
// the accessibility library stays bound to the first bus it finds, so a second one would not be seen.
inline AccessibleDesktop*& sharedDesktopSlot() {
  static AccessibleDesktop* desktop = nullptr;
  return desktop;
}

class SharedDesktopEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    delete sharedDesktopSlot();
    sharedDesktopSlot() = nullptr;
  }
};

// Empty on success, else why the desktop could not be started.
inline std::string startSharedDesktop() {
  static std::string failure;
  if (sharedDesktopSlot() == nullptr && failure.empty()) {
    ::testing::AddGlobalTestEnvironment(new SharedDesktopEnvironment);
    sharedDesktopSlot() = new AccessibleDesktop;
    failure = sharedDesktopSlot()->start();
    if (!failure.empty()) failure = "accessible desktop: " + failure;
  }
  return failure;
}

// The snapshot once the application with this process id is in front and has announced itself to
// the accessibility registry, which it does on its own time after it is shown; none after 20 s.
inline std::optional<AccessibilitySnapshot> registeredSnapshot(pid_t pid,
                                                               AccessibilityInspector* inspector = nullptr) {
  AccessibilityInspector own = x11Inspector(systemClock());
  AccessibilityInspector& asking = inspector != nullptr ? *inspector : own;
  return pollUntil<std::optional<AccessibilitySnapshot>>([&] { return asking.accessibilitySnapshot(); },
                                                         [&](const std::optional<AccessibilitySnapshot>& s) {
                                                           return s && s->app.processId == pid &&
                                                                  s->focusedElementRole;
                                                         });
}

}  // namespace diruri::test
