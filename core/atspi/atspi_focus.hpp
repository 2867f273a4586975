// The roles of an application's focused window and element, as the AT-SPI accessibility bus reports
// them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "core/capture/focus_history.hpp"

#include "core/atspi/accessibility_bus_location.hpp"
#include "core/capture/accessibility_inspecting.hpp"
#include "core/records/front_app.hpp"

struct DBusConnection;

namespace diruri {

// Each field is absent on its own: no accessibility bus, no application with the process id, no
// active window, no focused element, or any error or timeout on the way to it.
struct FocusedRoles {
  std::optional<std::string> windowRole;
  std::optional<std::string> elementRole;
  std::optional<std::string> elementName;

  bool operator==(const FocusedRoles&) const = default;
};

// Asks the accessibility bus about the application with a given process id: its active window's
// role name and its focused element's role name and name, untranslated.
//
// Nothing of AT-SPI is loaded or set up until the first query; without the library installed there
// are no roles. The bus is found where the library finds it (AT_SPI_BUS_ADDRESS, what `displayBus`
// says, the session bus's org.a11y.Bus), but only when it already runs: no bus or
// daemon is ever started, and none means no roles. GLib's log output is silenced for the whole
// process when the library is first set up.
//
// One query takes at most about `budget`, a hung application included. Safe to call from several
// threads; the library's state is process-wide, so queries run one at a time.
class AtspiFocus {
 public:
  static constexpr std::chrono::milliseconds kDefaultBudget{400};

  // How the active window and the focused element are found. kCollection lets the application
  // search its own tree in one call where it offers the Collection interface (else it falls back
  // to kWalk); kWalk asks node by node, bounded in depth and count.
  enum class Search { kCollection, kWalk };

  explicit AtspiFocus(DisplayBusAddress displayBus, std::chrono::milliseconds budget = kDefaultBudget,
                      Search search = Search::kCollection)
      : displayBus_(std::move(displayBus)), budget_(budget), search_(search) {}

  FocusedRoles query(int32_t processId) const;

  // Whether an accessibility bus runs and accepts a connection within `budget`; never starts one.
  bool busAnswers(std::chrono::milliseconds budget = kDefaultBudget) const;

  // The deepest element at a root-window point in the application's topmost window there (its
  // popups first, a submenu open from one of them, then its other windows, else its active one):
  // each level asked for its child at the point, down to one that has none. Bounded by `deadline`,
  // not the budget.
  std::optional<ElementTarget> elementAt(int32_t processId, double x, double y,
                                         std::chrono::steady_clock::time_point deadline) const;

  // The element of the application's windows (its popups first, then its active window, then its
  // others) with `wanted`'s role and name, the one whose path agrees with `wanted`'s in the most
  // levels where there are several in the first window that has one; searched breadth first like
  // the focused element, bounded in depth, count and budget.
  ElementFinding::ElementSearch findElement(int32_t processId, const ElementTarget& wanted) const;

  // The focused element of the application's active window, with its state (ElementState).
  std::optional<ElementFinding::ElementState> focusedElement(int32_t processId) const;
  // The element findElement finds, with its state.
  std::optional<ElementFinding::ElementState> elementState(int32_t processId,
                                                           const ElementTarget& wanted) const;
  // Up to `limit` shown elements that hold no others, of the topmost window that has any, nearest
  // the point first.
  std::vector<ElementTarget> elementsNear(int32_t processId, double x, double y, size_t limit) const;

  // The same element given the keyboard focus; false when it is not found or refuses.
  bool grabFocus(int32_t processId, const ElementTarget& wanted) const;

  // The same element's default action done (a button's click); false when it is not found or has no
  // action, or the application refuses or does not answer.
  bool activate(int32_t processId, const ElementTarget& wanted) const;

 private:
  DisplayBusAddress displayBus_;
  std::chrono::milliseconds budget_;
  Search search_;
};

// Follows the keyboard focus across all applications on the accessibility bus, from the focus
// events the applications send once a listener has asked the registry for them, and keeps the
// password field ("password text") that has it; an element that becomes one, or stops being one,
// while it has the focus is followed too. A thread of its own holds a private bus connection.
//
// Each focus move is counted when it is heard and again once the role of the element it went to is
// known, so that input which moved the focus can wait for that move (moves(), secretFieldSince()).
class AtspiFocusWatch {
 public:
  explicit AtspiFocusWatch(DisplayBusAddress displayBus) : displayBus_(std::move(displayBus)) {}
  ~AtspiFocusWatch() { stop(); }
  AtspiFocusWatch(const AtspiFocusWatch&) = delete;
  AtspiFocusWatch& operator=(const AtspiFocusWatch&) = delete;

  // Connecting and subscribing happen on the watch's thread; returns once the focus events are
  // subscribed to, or that failed, or its budget passed. Does nothing without the library or a
  // running accessibility bus.
  void start();
  void stop();
  // What the focus was before any focus event was heard; ignored once one was.
  void seed(std::optional<ElementTarget> field);
  std::optional<ElementTarget> secretField() const;
  // The focus moves heard and known since start(); none until the focus events are subscribed to,
  // or once the bus has gone.
  std::optional<FocusWatching::FocusMoves> moves() const;
  // How many of the moves heard were heard before `when` (of the latest ones kept, the others
  // count as before).
  uint64_t movesHeardBefore(std::chrono::steady_clock::time_point when) const;
  // A password field the focus went to with move number `move` or any later one, as far as is known
  // at `deadline`, which is waited for: a focus move is told late, and the first one heard after some
  // input may still be for input before it. None when there is none.
  std::optional<ElementTarget> secretFieldSince(uint64_t move, std::chrono::steady_clock::time_point deadline,
                                                uint64_t lastMove);

 private:
  void run();
  void follow();
  void focusChanged(DBusConnection* bus, const char* sender, const char* path, bool gained);
  void roleChanged(DBusConnection* bus, const char* sender, const char* path);
  // Asks the element's role (and its name when it is a password field).
  static std::optional<ElementTarget> secretFieldOf(DBusConnection* bus, const char* sender,
                                                    const char* path);
  // Under mutex_: the field after the latest move, as it is now.
  void setCurrent(std::optional<ElementTarget> field);

  const DisplayBusAddress displayBus_;
  mutable std::mutex mutex_;
  std::condition_variable moved_;
  FocusHistory history_;  // the fields after the latest known moves
  uint64_t heardMoves_ = 0;
  std::deque<std::chrono::steady_clock::time_point> heardAt_;  // of the latest moves heard
  bool following_ = false;
  bool settled_ = false;  // following_, or follow() gave up
  bool heard_ = false;
  std::string focusedSender_;  // watch thread only
  std::string focusedPath_;
  std::atomic<bool> stopping_{false};
  std::condition_variable stopRequested_;
  std::thread thread_;
};

}  // namespace diruri
