// The front application with what the accessibility bus says about it.
#include "core/atspi/accessibility_inspector.hpp"

#include "core/atspi/atspi_api.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/path.hpp"

namespace diruri {

AccessibilityInspector::AccessibilityInspector(Clock& clock, std::unique_ptr<FrontWindowSource> windows,
                                               Extents extents, DisplayBusAddress displayBus)
    : clock_(clock),
      windows_(std::move(windows)),
      extents_(extents),
      focus_(displayBus),
      focusWatch_(std::move(displayBus)) {}

AccessibilityInspector::~AccessibilityInspector() = default;

std::optional<FrontWindow> AccessibilityInspector::frontWindow() { return windows_->frontWindow(); }

std::optional<AccessibilitySnapshot> AccessibilityInspector::accessibilitySnapshot() {
  std::optional<ForegroundAppSnapshot> app = foregroundSnapshot();
  if (!app) {
    std::lock_guard lock(snapshotMutex_);
    lastRoles_.reset();
    return std::nullopt;
  }
  AccessibilitySnapshot snapshot;
  snapshot.app = std::move(*app);
  // Asked without the windowing system's lock, so that the capture thread's queries never wait on
  // an application slow to answer; the query bounds its own time.
  FocusedRoles roles = focus_.query(snapshot.app.processId);
  {
    std::lock_guard lock(snapshotMutex_);
    lastRoles_ = roles;
  }
  snapshot.focusedWindowRole = std::move(roles.windowRole);
  snapshot.focusedElementRole = std::move(roles.elementRole);
  snapshot.focusedElementTitle = std::move(roles.elementName);
  snapshot.capturedAt = formatIso8601(clock_.wallMillis());
  return snapshot;
}

bool AccessibilityInspector::findsElements() { return atspiApi() != nullptr; }

std::optional<std::pair<int32_t, int32_t>> AccessibilityInspector::origin(int32_t processId) {
  if (extents_ == Extents::kScreen) return std::pair<int32_t, int32_t>{0, 0};
  const std::optional<FrontWindow> front = frontWindow();
  if (!front || !front->geometry || front->app.processId != processId) return std::nullopt;
  return std::pair<int32_t, int32_t>{front->geometry->x, front->geometry->y};
}

namespace {

void moveBy(std::optional<WindowGeometry>& bounds, std::pair<int32_t, int32_t> by) {
  if (!bounds) return;
  bounds->x += by.first;
  bounds->y += by.second;
}

}  // namespace

std::optional<ElementTarget> AccessibilityInspector::elementAt(
    int32_t processId, double x, double y, std::chrono::steady_clock::time_point deadline) {
  const std::optional<std::pair<int32_t, int32_t>> at = origin(processId);
  if (!at) return std::nullopt;
  std::optional<ElementTarget> target = focus_.elementAt(processId, x - at->first, y - at->second, deadline);
  if (target) moveBy(target->bounds, *at);
  return target;
}

ElementFinding::ElementSearch AccessibilityInspector::findElement(int32_t processId,
                                                                  const ElementTarget& wanted) {
  const std::optional<std::pair<int32_t, int32_t>> at = origin(processId);
  ElementSearch search = focus_.findElement(processId, wanted);
  if (!search.found) return search;
  if (at) {
    moveBy(search.found->element.bounds, *at);
  } else {
    search.found->element.windowRelative = true;  // found, but where on the screen is not known
  }
  return search;
}

std::optional<ElementFinding::ElementState> AccessibilityInspector::focusedElement(int32_t processId) {
  const std::optional<std::pair<int32_t, int32_t>> at = origin(processId);
  std::optional<ElementState> state = focus_.focusedElement(processId);
  if (state && at) moveBy(state->element.bounds, *at);
  if (state && !at) state->element.bounds.reset();
  return state;
}

std::optional<ElementFinding::ElementState> AccessibilityInspector::elementState(
    int32_t processId, const ElementTarget& wanted) {
  const std::optional<std::pair<int32_t, int32_t>> at = origin(processId);
  std::optional<ElementState> state = focus_.elementState(processId, wanted);
  if (state && at) moveBy(state->element.bounds, *at);
  if (state && !at) state->element.bounds.reset();
  return state;
}

std::vector<ElementTarget> AccessibilityInspector::elementsNear(int32_t processId, double x, double y,
                                                                size_t limit) {
  const std::optional<std::pair<int32_t, int32_t>> at = origin(processId);
  if (!at) return {};
  std::vector<ElementTarget> near = focus_.elementsNear(processId, x - at->first, y - at->second, limit);
  for (ElementTarget& target : near) moveBy(target.bounds, *at);
  return near;
}

bool AccessibilityInspector::focusElement(int32_t processId, const ElementTarget& wanted) {
  return focus_.grabFocus(processId, wanted);
}

bool AccessibilityInspector::activateElement(int32_t processId, const ElementTarget& wanted) {
  return focus_.activate(processId, wanted);
}

void AccessibilityInspector::watchFocus(bool on) {
  if (!on) {
    focusWatch_.stop();
    return;
  }
  focusWatch_.start();
  std::optional<ElementTarget> field;
  {
    std::lock_guard lock(snapshotMutex_);
    if (lastRoles_ && lastRoles_->elementRole == "password text")
      field = ElementTarget{*lastRoles_->elementRole, lastRoles_->elementName, {}, std::nullopt};
  }
  focusWatch_.seed(std::move(field));
}

std::optional<ElementTarget> AccessibilityInspector::focusedSecretField() {
  return focusWatch_.secretField();
}

std::optional<std::string> AccessibilityInspector::unavailableReason() {
  if (focus_.busAnswers()) return std::nullopt;
  return "No accessibility bus answers: clicks are recorded without their element, and password fields "
         "cannot be recognised, so keys typed into them are recorded as typed.";
}

}  // namespace diruri
