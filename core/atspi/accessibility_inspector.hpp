// The front application with what the accessibility bus says about it.
#pragma once

#include <memory>
#include <mutex>

#include "core/atspi/atspi_focus.hpp"
#include "core/capture/accessibility_inspecting.hpp"
#include "core/capture/front_window_source.hpp"
#include "core/platform/clock.hpp"

namespace diruri {

// The front window comes from the windowing system; the snapshot's roles, the elements at clicks
// and the focus from the AT-SPI bus (AtspiFocus), found with what the windowing system says of it.
class AccessibilityInspector final : public AccessibilityInspecting {
 public:
  // Where the applications place their elements. On X11 they know their place on the screen; a
  // Wayland client does not, and reports its elements relative to its own window, so they are
  // moved by where the compositor put that window.
  enum class Extents { kScreen, kWindow };

  AccessibilityInspector(Clock& clock, std::unique_ptr<FrontWindowSource> windows, Extents extents,
                         DisplayBusAddress displayBus);
  ~AccessibilityInspector() override;
  AccessibilityInspector(const AccessibilityInspector&) = delete;
  AccessibilityInspector& operator=(const AccessibilityInspector&) = delete;

  std::optional<FrontWindow> frontWindow() override;
  bool knowsFrontWindow() override { return windows_->knowsFrontWindow(); }
  std::optional<AccessibilitySnapshot> accessibilitySnapshot() override;

  bool findsElements() override;
  std::optional<ElementTarget> elementAt(int32_t processId, double x, double y,
                                         std::chrono::steady_clock::time_point deadline) override;
  ElementSearch findElement(int32_t processId, const ElementTarget& wanted) override;
  std::optional<ElementState> focusedElement(int32_t processId) override;
  std::optional<ElementState> elementState(int32_t processId, const ElementTarget& wanted) override;
  std::vector<ElementTarget> elementsNear(int32_t processId, double x, double y, size_t limit) override;
  bool activateElement(int32_t processId, const ElementTarget& wanted) override;
  bool focusElement(int32_t processId, const ElementTarget& wanted) override;
  // The focus is known from the last snapshot taken until the first focus event.
  void watchFocus(bool on) override;
  std::optional<ElementTarget> focusedSecretField() override;
  std::optional<FocusMoves> focusMoves() override { return focusWatch_.moves(); }
  uint64_t movesHeardBefore(std::chrono::steady_clock::time_point when) override {
    return focusWatch_.movesHeardBefore(when);
  }
  std::optional<ElementTarget> secretFieldSince(uint64_t move, std::chrono::steady_clock::time_point deadline,
                                                uint64_t lastMove) override {
    return focusWatch_.secretFieldSince(move, deadline, lastMove);
  }
  std::optional<std::string> unavailableReason() override;

 private:
  // Where the front application's window lies when extents are window-relative: (0, 0) when they
  // are on the screen already, none when the window's place is not known.
  std::optional<std::pair<int32_t, int32_t>> origin(int32_t processId);

  Clock& clock_;
  std::unique_ptr<FrontWindowSource> windows_;
  Extents extents_;
  AtspiFocus focus_;
  AtspiFocusWatch focusWatch_;
  std::mutex snapshotMutex_;
  std::optional<FocusedRoles> lastRoles_;  // of the last snapshot taken
};

}  // namespace diruri
