// The front application of the X display, from the window manager's and the window's properties.
#pragma once

#include <memory>
#include <mutex>

#include "core/capture/accessibility_inspecting.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/file_system.hpp"
#include "core/x11/atspi_focus.hpp"

namespace diruri {

// The front window is the root's _NET_ACTIVE_WINDOW or, without a window manager (or when that
// names a window that no longer exists), the input focus walked up to its top-level client window.
// Its application comes from _NET_WM_PID (else the X-Resource extension), _GTK_APPLICATION_ID,
// WM_CLASS and /proc/<pid>/comm; its title from _NET_WM_NAME, else WM_NAME. All text is valid
// UTF-8.
//
// One connection to $DISPLAY, opened at the first query and opened again after the server went
// away; no display means no front application. Safe to call from several threads (one at a time
// reaches the display). The snapshot's roles come from the AT-SPI bus (AtspiFocus).
class AccessibilityInspector final : public AccessibilityInspecting {
 public:
  AccessibilityInspector(FileSystem& fileSystem, Clock& clock);
  ~AccessibilityInspector() override;
  AccessibilityInspector(const AccessibilityInspector&) = delete;
  AccessibilityInspector& operator=(const AccessibilityInspector&) = delete;

  std::optional<ForegroundAppSnapshot> foregroundSnapshot() override;
  std::optional<FrontWindow> frontWindow() override;
  std::optional<AccessibilitySnapshot> accessibilitySnapshot() override;
  void writeSnapshot(const AccessibilitySnapshot& snapshot, const std::string& path) override;

  bool findsElements() override;
  std::optional<ElementTarget> elementAt(int32_t processId, double x, double y,
                                         std::chrono::steady_clock::time_point deadline) override;
  ElementSearch findElement(int32_t processId, const ElementTarget& wanted) override;
  // The focus is known from the last snapshot taken until the first focus event.
  void watchFocus(bool on) override;
  std::optional<ElementTarget> focusedSecretField() override;

 private:
  struct FrontWindowQuery;
  FileSystem& fileSystem_;
  Clock& clock_;
  std::mutex mutex_;
  std::unique_ptr<FrontWindowQuery> query_;
  AtspiFocusWatch focusWatch_;
  std::mutex snapshotMutex_;
  std::optional<FocusedRoles> lastRoles_;  // of the last snapshot taken
};

}  // namespace diruri
