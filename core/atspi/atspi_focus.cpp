// The roles of an application's focused window and element, read from the AT-SPI accessibility bus.
#include "core/atspi/atspi_focus.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "core/atspi/atspi_bus.hpp"
#include "core/platform/sigpipe_guard.hpp"
#include "core/records/observation.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

using namespace atspi_bus;
using namespace dbus;

namespace {

// Bounds on what one query visits, apart from its time budget.
constexpr gint kMaxApplications = 512;
constexpr gint kMaxWindows = 64;
constexpr int kMaxWalkDepth = 16;
constexpr int kMaxWalkNodes = 512;
constexpr int kMaxDispatches = 4096;

struct Unref {
  void operator()(gpointer p) const { api().g_object_unref(p); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;
using Accessible = Ref<AtspiAccessible>;

struct GFree {
  void operator()(gpointer p) const { api().g_free(p); }
};
using GText = std::unique_ptr<gchar, GFree>;

// The error slot of one library call.
class Error {
 public:
  Error() = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  ~Error() {
    if (error_ != nullptr) api().g_error_free(error_);
  }
  GError** out() { return &error_; }
  explicit operator bool() const { return error_ != nullptr; }

 private:
  GError* error_ = nullptr;
};

// The server's stdout carries the protocol and its stderr only the usage text, so nothing GLib or
// libatspi would log may reach either. Process-wide, and set once: GLib refuses a second writer.
void silenceGlib() {
  api().g_log_set_default_handler([](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
  api().g_log_set_writer_func(
      [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }, nullptr,
      nullptr);
  api().g_set_print_handler([](const gchar*) {});
  api().g_set_printerr_handler([](const gchar*) {});
}

AtspiMatchRule* ruleForState(AtspiStateType state) {
  GArray* states = api().g_array_new(FALSE, FALSE, sizeof(AtspiStateType));
  api().g_array_append_vals(states, &state, 1);
  Ref<AtspiStateSet> set(api().atspi_state_set_new(states));
  api().g_array_free(states, TRUE);
  return api().atspi_match_rule_new(set.get(), ATSPI_Collection_MATCH_ALL, nullptr,
                                    ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
                                    ATSPI_Collection_MATCH_ALL, FALSE);
}

// libatspi keeps one process-wide state (its bus, its timeout, its objects), so this does too, and
// every use of the library holds its lock. Never destroyed: the library has no orderly end either.
struct Library {
  std::mutex mutex;
  bool ready = false;
  bool failed = false;
  DBusConnection* bus = nullptr;
  // A context of its own that only queries iterate, so the library's bus is read by no other loop.
  GMainContext* context = nullptr;
  AtspiMatchRule* activeRule = nullptr;
  AtspiMatchRule* focusedRule = nullptr;
  // A connection's process never changes, and unique bus names are never reused.
  std::map<std::string, uint32_t> processIds;

  // Sets the library up once an accessibility bus runs; until then every query looks again.
  bool setUp(const DisplayBusAddress& displayBus, const Budget& budget) {
    if (ready) return true;
    if (failed) return false;
    // Without the library installed there are no roles, as without a bus.
    if (atspiApi() == nullptr) {
      failed = true;
      return false;
    }
    const std::optional<std::string> address = accessibilityBusAddress(displayBus, budget);
    if (!address || !connectTo(*address, budget)) return false;
    silenceGlib();
    arm(budget);
    const int status = api().atspi_init();
    // A failed init leaves the library marked as set up without a bus; it cannot be tried again.
    if (status != 0 && status != 1) {
      failed = true;
      return false;
    }
    bus = api().atspi_get_a11y_bus();
    if (bus == nullptr) {
      failed = true;
      return false;
    }
    libdbus().dbus_connection_ref(bus);
    context = api().g_main_context_new();
    api().atspi_set_main_context(context);
    activeRule = ruleForState(ATSPI_STATE_ACTIVE);
    focusedRule = ruleForState(ATSPI_STATE_FOCUSED);
    ready = true;
    return true;
  }

  // Signals arrive between queries (the library's cache updates and replies to its own
  // asynchronous calls); handle what has queued up so that it neither grows nor goes stale.
  void dispatchPending(const Budget& budget) {
    if (!arm(budget)) return;
    for (int i = 0; i < kMaxDispatches && api().g_main_context_iteration(context, FALSE); ++i) {
    }
  }

  // Process ids of the named bus connections not known yet, asked all at once: one round trip.
  void learnProcessIds(const std::vector<std::string>& names, const Budget& budget) {
    std::map<std::string, uint32_t> known;
    std::vector<std::pair<std::string, DBusPendingCall*>> asked;
    for (const std::string& name : names) {
      if (auto it = processIds.find(name); it != processIds.end()) {
        known.insert(*it);
        continue;
      }
      const int left = budget.remainingMillis();
      if (left == 0) break;
      Message ask(libdbus().dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                         DBUS_INTERFACE_DBUS, "GetConnectionUnixProcessID"));
      const char* text = name.c_str();
      DBusPendingCall* pending = nullptr;
      if (ask && libdbus().dbus_message_append_args(ask.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID) &&
          libdbus().dbus_connection_send_with_reply(bus, ask.get(), &pending, left) && pending != nullptr) {
        asked.emplace_back(name, pending);
      }
    }
    for (auto& [name, pending] : asked) {
      libdbus().dbus_pending_call_block(pending);
      Message reply(libdbus().dbus_pending_call_steal_reply(pending));
      libdbus().dbus_pending_call_unref(pending);
      dbus_uint32_t pid = 0;
      DBusError error;
      libdbus().dbus_error_init(&error);
      if (reply && libdbus().dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
          libdbus().dbus_message_get_args(reply.get(), &error, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID)) {
        known[name] = pid;
      }
      libdbus().dbus_error_free(&error);
    }
    // Only the applications on the bus now: a departed one's name is not coming back.
    processIds = std::move(known);
  }
};

Library& library() {
  static Library* instance = new Library;
  return *instance;
}

gint childCount(AtspiAccessible* node, const Budget& budget) {
  if (!arm(budget)) return 0;
  Error error;
  const gint count = api().atspi_accessible_get_child_count(node, error.out());
  return error ? 0 : std::max(count, 0);
}

Accessible childAt(AtspiAccessible* node, gint index, const Budget& budget) {
  if (!arm(budget)) return nullptr;
  Error error;
  Accessible child(api().atspi_accessible_get_child_at_index(node, index, error.out()));
  if (error) return nullptr;
  return child;
}

// The node's states; none when it cannot be asked.
Ref<AtspiStateSet> statesOf(AtspiAccessible* node, const Budget& budget) {
  if (!arm(budget)) return nullptr;
  return Ref<AtspiStateSet>(api().atspi_accessible_get_state_set(node));
}

bool has(const Ref<AtspiStateSet>& states, AtspiStateType state) {
  return states != nullptr && api().atspi_state_set_contains(states.get(), state);
}

std::optional<std::string> text(gchar* (*read)(AtspiAccessible*, GError**), AtspiAccessible* node,
                                const Budget& budget) {
  if (!arm(budget)) return std::nullopt;
  Error error;
  GText value(read(node, error.out()));
  if (error || !value) return std::nullopt;
  return sanitizeUtf8(value.get());
}

// The first node under `root` that the rule matches, searched by the application itself in one
// call. Unset when the application offers no Collection interface; null when nothing matched or
// the call failed.
std::optional<Accessible> firstMatch(AtspiAccessible* root, AtspiMatchRule* rule, bool traverse,
                                     const Budget& budget) {
  if (!arm(budget)) return Accessible{};
  Ref<AtspiCollection> collection(api().atspi_accessible_get_collection_iface(root));
  if (!collection) return std::nullopt;
  if (!arm(budget)) return Accessible{};
  Error error;
  GArray* found = api().atspi_collection_get_matches(
      collection.get(), rule, ATSPI_Collection_SORT_ORDER_CANONICAL, 1, traverse ? TRUE : FALSE, error.out());
  if (found == nullptr) return Accessible{};
  Accessible first;
  for (guint i = 0; i < found->len; ++i) {
    AtspiAccessible* node = g_array_index(found, AtspiAccessible*, i);
    if (node == nullptr) continue;
    if (!first) {
      first.reset(node);
    } else {
      api().g_object_unref(node);
    }
  }
  api().g_array_free(found, TRUE);
  return first;
}

// The active one among the application's windows (its children).
Accessible activeWindow(Library& library, AtspiAccessible* app, AtspiFocus::Search search,
                        const Budget& budget) {
  if (search == AtspiFocus::Search::kCollection) {
    if (std::optional<Accessible> found = firstMatch(app, library.activeRule, false, budget))
      return std::move(*found);
  }
  const gint count = std::min(childCount(app, budget), kMaxWindows);
  for (gint i = 0; i < count; ++i) {
    Accessible window = childAt(app, i, budget);
    if (window && has(statesOf(window.get(), budget), ATSPI_STATE_ACTIVE)) return window;
  }
  return nullptr;
}

// The focused node below the window, breadth first, bounded in depth and count. Hidden subtrees
// and those whose children come and go with scrolling (lists, tables) are not entered.
Accessible focusedByWalk(AtspiAccessible* window, const Budget& budget) {
  struct Item {
    Accessible node;
    int depth;
  };
  std::deque<Item> queue;
  const auto enqueueChildren = [&](AtspiAccessible* node, int depth) {
    const gint count = childCount(node, budget);
    for (gint i = 0; i < count && static_cast<int>(queue.size()) < kMaxWalkNodes; ++i) {
      if (Accessible child = childAt(node, i, budget)) queue.push_back({std::move(child), depth + 1});
    }
  };
  enqueueChildren(window, 0);
  for (int visited = 0; !queue.empty() && visited < kMaxWalkNodes && budget.remainingMillis() > 0;
       ++visited) {
    Item item = std::move(queue.front());
    queue.pop_front();
    const Ref<AtspiStateSet> states = statesOf(item.node.get(), budget);
    if (has(states, ATSPI_STATE_FOCUSED)) return std::move(item.node);
    if (item.depth < kMaxWalkDepth && has(states, ATSPI_STATE_SHOWING) &&
        !has(states, ATSPI_STATE_MANAGES_DESCENDANTS)) {
      enqueueChildren(item.node.get(), item.depth);
    }
  }
  return nullptr;
}

// Whether the application's connection answers a ping within the budget. Asked before the library
// calls it: libatspi leaks each call that times out, and a hung application makes every call time out.
bool answers(DBusConnection* bus, const char* busName, const Budget& budget) {
  const int left = budget.remainingMillis();
  if (left == 0) return false;
  Message ping(libdbus().dbus_message_new_method_call(busName, "/", DBUS_INTERFACE_PEER, "Ping"));
  if (!ping) return false;
  DBusError error;
  libdbus().dbus_error_init(&error);
  Message reply(libdbus().dbus_connection_send_with_reply_and_block(bus, ping.get(), left, &error));
  libdbus().dbus_error_free(&error);
  return reply != nullptr;
}

// The application's accessible roots whose connection belongs to the process.
std::vector<Accessible> applicationsOf(Library& library, int32_t processId, const Budget& budget) {
  std::vector<Accessible> matches;
  Accessible desktop(api().atspi_get_desktop(0));
  if (!desktop) return matches;
  const gint count = std::min(childCount(desktop.get(), budget), kMaxApplications);
  std::vector<Accessible> apps;
  std::vector<std::string> names;
  for (gint i = 0; i < count; ++i) {
    Accessible app = childAt(desktop.get(), i, budget);
    if (!app || app->parent.app == nullptr || app->parent.app->bus_name == nullptr) continue;
    names.emplace_back(app->parent.app->bus_name);
    apps.push_back(std::move(app));
  }
  library.learnProcessIds(names, budget);
  for (size_t i = 0; i < apps.size(); ++i) {
    const auto it = library.processIds.find(names[i]);
    if (it != library.processIds.end() && it->second == static_cast<uint32_t>(processId)) {
      matches.push_back(std::move(apps[i]));
    }
  }
  return matches;
}

}  // namespace

bool AtspiFocus::busAnswers(std::chrono::milliseconds budget) const {
  if (atspiApi() == nullptr) return false;
  SigpipeGuard guard;
  const Budget within(budget);
  const std::optional<std::string> address = accessibilityBusAddress(displayBus_, within);
  return address && connectTo(*address, within) != nullptr;
}

FocusedRoles AtspiFocus::query(int32_t processId) const {
  FocusedRoles roles;
  if (processId <= 0) return roles;
  const Budget budget(budget_);
  Library& lib = library();
  std::lock_guard<std::mutex> lock(lib.mutex);
  SigpipeGuard guard;
  if (!lib.setUp(displayBus_, budget)) return roles;
  // libatspi cannot follow its bus to a new daemon; a bus that went away means no roles.
  if (!libdbus().dbus_connection_get_is_connected(lib.bus)) return roles;
  lib.dispatchPending(budget);

  Accessible window;
  for (Accessible& app : applicationsOf(lib, processId, budget)) {
    if (!answers(lib.bus, app->parent.app->bus_name, budget)) continue;
    if ((window = activeWindow(lib, app.get(), search_, budget))) break;
  }
  if (!window) return roles;
  roles.windowRole = text(api().atspi_accessible_get_role_name, window.get(), budget);

  Accessible element;
  if (search_ == Search::kCollection) {
    if (std::optional<Accessible> found = firstMatch(window.get(), lib.focusedRule, true, budget)) {
      element = std::move(*found);
    } else {
      element = focusedByWalk(window.get(), budget);
    }
  } else {
    element = focusedByWalk(window.get(), budget);
  }
  if (!element) return roles;
  roles.elementRole = text(api().atspi_accessible_get_role_name, element.get(), budget);
  roles.elementName = text(api().atspi_accessible_get_name, element.get(), budget);
  return roles;
}

namespace {

constexpr int kMaxPointDepth = 32;
constexpr AtspiRole kPasswordRole = ATSPI_ROLE_PASSWORD_TEXT;
constexpr const char* kPasswordRoleName = "password text";

// The application's windows that are shown, in the order they lie on one another as far as the
// accessibility bus can tell, topmost first: its popups (menus, combo lists, tool tips: windows of
// their own that the window manager does not stack), the newest first; then its active window; then
// its other windows (dialogs above what they belong to), the newest first. Empty when the bus or the
// application does not answer; the bus's state is checked and its queue handled first.
std::vector<Accessible> windowsOnTop(Library& lib, const DisplayBusAddress& displayBus, int32_t processId,
                                     const Budget& budget, bool& available, size_t* popupCount = nullptr) {
  available = false;
  std::vector<Accessible> popups, active, others;
  if (processId <= 0 || !lib.setUp(displayBus, budget) ||
      !libdbus().dbus_connection_get_is_connected(lib.bus))
    return {};
  lib.dispatchPending(budget);
  for (Accessible& app : applicationsOf(lib, processId, budget)) {
    if (!answers(lib.bus, app->parent.app->bus_name, budget)) continue;
    available = true;
    const gint count = std::min(childCount(app.get(), budget), kMaxWindows);
    for (gint i = count - 1; i >= 0; --i) {
      Accessible window = childAt(app.get(), i, budget);
      if (!window) continue;
      const Ref<AtspiStateSet> states = statesOf(window.get(), budget);
      if (!has(states, ATSPI_STATE_SHOWING)) continue;
      const std::string role = text(api().atspi_accessible_get_role_name, window.get(), budget).value_or("");
      if (role == "window" || role == "menu" || role == "popup menu" || role == "tool tip") {
        popups.push_back(std::move(window));
      } else if (has(states, ATSPI_STATE_ACTIVE)) {
        active.push_back(std::move(window));
      } else {
        others.push_back(std::move(window));
      }
    }
  }
  if (popupCount) *popupCount = popups.size();
  for (std::vector<Accessible>* more : {&active, &others})
    for (Accessible& window : *more) popups.push_back(std::move(window));
  return popups;
}

// The application's active window, or none.
Accessible frontWindowOf(Library& lib, const DisplayBusAddress& displayBus, int32_t processId,
                         const Budget& budget, bool& available) {
  available = false;
  if (processId <= 0 || !lib.setUp(displayBus, budget) ||
      !libdbus().dbus_connection_get_is_connected(lib.bus))
    return nullptr;
  lib.dispatchPending(budget);
  for (Accessible& app : applicationsOf(lib, processId, budget)) {
    if (!answers(lib.bus, app->parent.app->bus_name, budget)) continue;
    available = true;
    if (Accessible window = activeWindow(lib, app.get(), AtspiFocus::Search::kCollection, budget))
      return window;
  }
  return nullptr;
}

std::optional<WindowGeometry> extentsOf(AtspiAccessible* node, const Budget& budget) {
  if (!arm(budget)) return std::nullopt;
  Ref<AtspiComponent> component(api().atspi_accessible_get_component_iface(node));
  if (!component || !arm(budget)) return std::nullopt;
  Error error;
  std::unique_ptr<AtspiRect, GFree> rect(
      api().atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, error.out()));
  if (error || !rect) return std::nullopt;
  return WindowGeometry{rect->x, rect->y, rect->width, rect->height};
}

ElementPathStep stepOf(AtspiAccessible* node, const Budget& budget) {
  ElementPathStep step;
  step.role = text(api().atspi_accessible_get_role_name, node, budget).value_or("");
  if (arm(budget)) {
    Error error;
    const gint index = api().atspi_accessible_get_index_in_parent(node, error.out());
    step.index = error ? 0 : std::max(index, 0);
  }
  return step;
}

std::optional<std::string> nameOf(AtspiAccessible* node, const Budget& budget) {
  std::optional<std::string> name = text(api().atspi_accessible_get_name, node, budget);
  if (name && name->empty()) name.reset();
  return name;
}

}  // namespace

namespace {

bool contains(const std::optional<WindowGeometry>& extent, gint x, gint y) {
  return extent && x >= extent->x && y >= extent->y && x < extent->x + extent->width &&
         y < extent->y + extent->height;
}

// The node's child at a screen point; none when it has none there.
Accessible childAtPoint(AtspiAccessible* node, gint x, gint y, const Budget& budget) {
  if (!arm(budget)) return nullptr;
  Ref<AtspiComponent> component(api().atspi_accessible_get_component_iface(node));
  if (!component || !arm(budget)) return nullptr;
  Error error;
  Accessible child(api().atspi_component_get_accessible_at_point(component.get(), x, y,
                                                                 ATSPI_COORD_TYPE_SCREEN, error.out()));
  if (error || !child || child.get() == node) return nullptr;
  return child;
}

// A submenu open from a popup lies outside the popup's window and is no window of the application:
// the menu item that opened it (a "menu", selected) answers for the point.
std::optional<std::pair<Accessible, std::vector<ElementPathStep>>> openSubmenuAt(AtspiAccessible* popup,
                                                                                 gint x, gint y,
                                                                                 const Budget& budget) {
  struct Item {
    Accessible node;
    std::vector<ElementPathStep> path;
  };
  constexpr int kMaxMenuNodes = 128;
  std::deque<Item> queue;
  std::optional<std::pair<Accessible, std::vector<ElementPathStep>>> found;
  // The menus among a node's children; an open one that has an item at the point ends the search.
  const auto expand = [&](AtspiAccessible* node, const std::vector<ElementPathStep>& at) {
    const gint count = std::min(childCount(node, budget), gint{kMaxMenuNodes});
    for (gint i = 0; i < count && !found; ++i) {
      Accessible child = childAt(node, i, budget);
      if (!child) continue;
      const ElementPathStep step = stepOf(child.get(), budget);
      if (step.role != "menu") continue;
      std::vector<ElementPathStep> path = at;
      path.push_back(step);
      if (has(statesOf(child.get(), budget), ATSPI_STATE_SELECTED)) {
        if (Accessible inside = childAtPoint(child.get(), x, y, budget)) {
          path.push_back(stepOf(inside.get(), budget));
          found.emplace(std::move(inside), std::move(path));
          return;
        }
      }
      queue.push_back({std::move(child), std::move(path)});
    }
  };
  expand(popup, {stepOf(popup, budget)});
  for (int visited = 0; !found && !queue.empty() && visited < kMaxMenuNodes && budget.remainingMillis() > 0;
       ++visited) {
    Item item = std::move(queue.front());
    queue.pop_front();
    expand(item.node.get(), item.path);
  }
  return found;
}

}  // namespace

std::optional<ElementTarget> AtspiFocus::elementAt(int32_t processId, double x, double y,
                                                   SteadyClock::time_point deadline) const {
  const Budget budget(deadline);
  if (budget.remainingMillis() == 0) return std::nullopt;
  Library& lib = library();
  std::lock_guard<std::mutex> lock(lib.mutex);
  SigpipeGuard guard;
  const gint px = static_cast<gint>(std::lround(x));
  const gint py = static_cast<gint>(std::lround(y));
  bool available = false;
  size_t popupCount = 0;
  // The topmost window at the point: a popup over the window (or a submenu it opened), a dialog
  // over its parent. Where none says it holds the point (a window whose extent is not told), the
  // active one.
  std::vector<Accessible> windows = windowsOnTop(lib, displayBus_, processId, budget, available, &popupCount);
  Accessible node;
  ElementTarget target;
  const auto take = [&](size_t from, size_t to) {
    for (size_t i = from; !node && i < to; ++i) {
      if (contains(extentsOf(windows[i].get(), budget), px, py)) {
        node = std::move(windows[i]);
        target.path.push_back(stepOf(node.get(), budget));
      }
    }
  };
  take(0, popupCount);
  for (size_t i = 0; !node && i < popupCount; ++i) {
    if (auto submenu = openSubmenuAt(windows[i].get(), px, py, budget)) {
      node = std::move(submenu->first);
      target.path = std::move(submenu->second);
    }
  }
  take(popupCount, windows.size());
  if (!node) {
    node = frontWindowOf(lib, displayBus_, processId, budget, available);
    if (!node) return std::nullopt;
    target.path.push_back(stepOf(node.get(), budget));
  }
  for (int depth = 0; depth < kMaxPointDepth; ++depth) {
    Accessible child = childAtPoint(node.get(), px, py, budget);
    if (!child) break;
    target.path.push_back(stepOf(child.get(), budget));
    node = std::move(child);
  }
  if (budget.remainingMillis() == 0) return std::nullopt;  // an answer cut short is no answer
  target.role = target.path.back().role;
  target.name = nameOf(node.get(), budget);
  target.bounds = extentsOf(node.get(), budget);
  if (target.role.empty() || budget.remainingMillis() == 0) return std::nullopt;
  return target;
}

namespace {

// The element of the window with `wanted`'s role and name whose path agrees with `wanted`'s in the
// most levels.
struct Match {
  Accessible node;
  std::vector<ElementPathStep> path;
};

std::optional<Match> bestMatch(Accessible window, const ElementTarget& wanted, const Budget& budget) {
  std::deque<Match> queue;
  queue.push_back({std::move(window), {}});
  queue.front().path.push_back(stepOf(queue.front().node.get(), budget));
  std::optional<Match> best;
  size_t bestScore = 0;
  for (int visited = 0; !queue.empty() && visited < kMaxWalkNodes && budget.remainingMillis() > 0;
       ++visited) {
    Match item = std::move(queue.front());
    queue.pop_front();
    if (item.path.back().role == wanted.role && nameOf(item.node.get(), budget) == wanted.name) {
      size_t score = 1;
      for (size_t i = 0; i < std::min(item.path.size(), wanted.path.size()); ++i)
        score += item.path[i] == wanted.path[i];
      if (score > bestScore) {
        bestScore = score;
        best = std::move(item);
        continue;
      }
    }
    const Ref<AtspiStateSet> states = statesOf(item.node.get(), budget);
    if (static_cast<int>(item.path.size()) > kMaxWalkDepth || !has(states, ATSPI_STATE_SHOWING) ||
        has(states, ATSPI_STATE_MANAGES_DESCENDANTS)) {
      continue;
    }
    const gint count = childCount(item.node.get(), budget);
    for (gint i = 0; i < count && static_cast<int>(queue.size()) < kMaxWalkNodes; ++i) {
      Accessible child = childAt(item.node.get(), i, budget);
      if (!child) continue;
      std::vector<ElementPathStep> path = item.path;
      path.push_back(stepOf(child.get(), budget));
      queue.push_back({std::move(child), std::move(path)});
    }
  }
  return best;
}

// The best match in the first of the application's windows, topmost first, that has one.
std::optional<Match> bestMatchOnTop(Library& lib, const DisplayBusAddress& displayBus, int32_t processId,
                                    const ElementTarget& wanted, const Budget& budget, bool& available) {
  for (Accessible& window : windowsOnTop(lib, displayBus, processId, budget, available)) {
    if (std::optional<Match> best = bestMatch(std::move(window), wanted, budget)) return best;
  }
  return std::nullopt;
}

}  // namespace

ElementFinding::ElementSearch AtspiFocus::findElement(int32_t processId, const ElementTarget& wanted) const {
  ElementFinding::ElementSearch search;
  const Budget budget(budget_);
  Library& lib = library();
  std::lock_guard<std::mutex> lock(lib.mutex);
  SigpipeGuard guard;
  std::optional<Match> best = bestMatchOnTop(lib, displayBus_, processId, wanted, budget, search.available);
  if (!best) return search;
  FoundElement found;
  found.element.role = wanted.role;
  found.element.name = wanted.name;
  found.element.path = best->path;
  found.element.bounds = extentsOf(best->node.get(), budget);
  const Ref<AtspiStateSet> states = statesOf(best->node.get(), budget);
  found.showing = has(states, ATSPI_STATE_SHOWING) && has(states, ATSPI_STATE_VISIBLE);
  found.enabled = has(states, ATSPI_STATE_ENABLED) || has(states, ATSPI_STATE_SENSITIVE);
  if (!found.element.bounds) return search;
  search.found = std::move(found);
  return search;
}

bool AtspiFocus::activate(int32_t processId, const ElementTarget& wanted) const {
  const Budget budget(budget_);
  Library& lib = library();
  std::lock_guard<std::mutex> lock(lib.mutex);
  SigpipeGuard guard;
  bool available = false;
  std::optional<Match> best = bestMatchOnTop(lib, displayBus_, processId, wanted, budget, available);
  if (!best || !arm(budget)) return false;
  Ref<AtspiAction> action(api().atspi_accessible_get_action_iface(best->node.get()));
  if (!action || !arm(budget)) return false;
  Error error;
  if (api().atspi_action_get_n_actions(action.get(), error.out()) <= 0 || error || !arm(budget)) return false;
  // The first action is the element's default one: a button's click, a check box's toggle.
  const gboolean done = api().atspi_action_do_action(action.get(), 0, error.out());
  return done && !error;
}

namespace {

// The roles and indexes from the node's window down to it, asked of its parents.
std::vector<ElementPathStep> pathOf(AtspiAccessible* node, const Budget& budget) {
  std::vector<ElementPathStep> path{stepOf(node, budget)};
  Accessible parent;
  if (arm(budget)) {
    Error error;
    parent.reset(api().atspi_accessible_get_parent(node, error.out()));
    if (error) parent.reset();
  }
  for (int depth = 0; parent && depth < kMaxWalkDepth * 2 && arm(budget); ++depth) {
    const ElementPathStep step = stepOf(parent.get(), budget);
    if (step.role == "application" || step.role.empty()) break;
    path.push_back(step);
    Error error;
    Accessible next(api().atspi_accessible_get_parent(parent.get(), error.out()));
    if (error) break;
    parent = std::move(next);
  }
  return {path.rbegin(), path.rend()};
}

// What a check reads of an element: a password field's text never, only whether it holds any.
ElementFinding::ElementState stateOf(AtspiAccessible* node, std::vector<ElementPathStep> path,
                                     const Budget& budget) {
  ElementFinding::ElementState state;
  state.element.path = std::move(path);
  state.element.role = state.element.path.empty() ? std::string() : state.element.path.back().role;
  state.element.name = nameOf(node, budget);
  state.element.bounds = extentsOf(node, budget);
  const Ref<AtspiStateSet> states = statesOf(node, budget);
  if (isToggleRole(state.element.role)) state.checked = has(states, ATSPI_STATE_CHECKED);
  state.secret = state.element.role == kPasswordRoleName;
  if (!arm(budget)) return state;
  Ref<AtspiText> text(api().atspi_accessible_get_text_iface(node));
  if (!text || !arm(budget)) return state;
  Error error;
  const gint count = api().atspi_text_get_character_count(text.get(), error.out());
  if (error || count < 0) return state;
  if (state.secret) {
    state.notEmpty = count > 0;
    return state;
  }
  if (!has(states, ATSPI_STATE_EDITABLE) || !arm(budget)) return state;
  const gint wanted = std::min<gint>(count, static_cast<gint>(Observation::kLongestText + 1));
  Error readError;
  GText read(api().atspi_text_get_text(text.get(), 0, wanted, readError.out()));
  if (!readError && read) state.text = sanitizeUtf8(read.get());
  return state;
}

double distanceTo(const WindowGeometry& box, double x, double y) {
  const double dx = std::max({static_cast<double>(box.x) - x, 0.0, x - (box.x + box.width)});
  const double dy = std::max({static_cast<double>(box.y) - y, 0.0, y - (box.y + box.height)});
  return std::hypot(dx, dy);
}

// Roles that only hold others: not what an agent acts on.
bool isContainerRole(const std::string& role) {
  return role == "filler" || role == "panel" || role == "frame" || role == "window" || role == "dialog" ||
         role == "scroll pane" || role == "viewport" || role == "layered pane" || role == "root pane" ||
         role == "split pane" || role == "section" || role == "menu bar" || role == "tool bar" ||
         role == "separator" || role == "unknown" || role == "redundant object";
}

}  // namespace

std::optional<ElementFinding::ElementState> AtspiFocus::focusedElement(int32_t processId) const {
  const Budget budget(budget_);
  Library& lib = library();
  std::lock_guard<std::mutex> lock(lib.mutex);
  SigpipeGuard guard;
  bool available = false;
  Accessible window = frontWindowOf(lib, displayBus_, processId, budget, available);
  if (!window) return std::nullopt;
  Accessible element;
  if (std::optional<Accessible> found = firstMatch(window.get(), lib.focusedRule, true, budget)) {
    element = std::move(*found);
  } else {
    element = focusedByWalk(window.get(), budget);
  }
  if (!element) return std::nullopt;
  ElementFinding::ElementState state = stateOf(element.get(), pathOf(element.get(), budget), budget);
  if (budget.remainingMillis() == 0 || state.element.role.empty()) return std::nullopt;
  return state;
}

std::optional<ElementFinding::ElementState> AtspiFocus::elementState(int32_t processId,
                                                                     const ElementTarget& wanted) const {
  const Budget budget(budget_);
  Library& lib = library();
  std::lock_guard<std::mutex> lock(lib.mutex);
  SigpipeGuard guard;
  bool available = false;
  std::optional<Match> best = bestMatchOnTop(lib, displayBus_, processId, wanted, budget, available);
  if (!best) return std::nullopt;
  ElementFinding::ElementState state = stateOf(best->node.get(), best->path, budget);
  if (budget.remainingMillis() == 0) return std::nullopt;
  return state;
}

std::vector<ElementTarget> AtspiFocus::elementsNear(int32_t processId, double x, double y,
                                                    size_t limit) const {
  const Budget budget(budget_);
  Library& lib = library();
  std::lock_guard<std::mutex> lock(lib.mutex);
  SigpipeGuard guard;
  bool available = false;
  std::vector<std::pair<double, ElementTarget>> near;
  for (Accessible& window : windowsOnTop(lib, displayBus_, processId, budget, available)) {
    std::deque<Match> queue;
    queue.push_back({std::move(window), {}});
    queue.front().path.push_back(stepOf(queue.front().node.get(), budget));
    for (int visited = 0; !queue.empty() && visited < kMaxWalkNodes && budget.remainingMillis() > 0;
         ++visited) {
      Match item = std::move(queue.front());
      queue.pop_front();
      const Ref<AtspiStateSet> states = statesOf(item.node.get(), budget);
      if (!has(states, ATSPI_STATE_SHOWING)) continue;
      const std::string& role = item.path.back().role;
      if (!isContainerRole(role)) {
        if (std::optional<WindowGeometry> bounds = extentsOf(item.node.get(), budget)) {
          ElementTarget target{role, nameOf(item.node.get(), budget), item.path, bounds};
          near.emplace_back(distanceTo(*bounds, x, y), std::move(target));
        }
      }
      if (static_cast<int>(item.path.size()) > kMaxWalkDepth || has(states, ATSPI_STATE_MANAGES_DESCENDANTS))
        continue;
      const gint count = childCount(item.node.get(), budget);
      for (gint i = 0; i < count && static_cast<int>(queue.size()) < kMaxWalkNodes; ++i) {
        Accessible child = childAt(item.node.get(), i, budget);
        if (!child) continue;
        std::vector<ElementPathStep> path = item.path;
        path.push_back(stepOf(child.get(), budget));
        queue.push_back({std::move(child), std::move(path)});
      }
    }
    if (!near.empty()) break;  // the topmost window with elements is the one in front
  }
  std::stable_sort(near.begin(), near.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<ElementTarget> out;
  for (size_t i = 0; i < near.size() && out.size() < limit; ++i) out.push_back(std::move(near[i].second));
  return out;
}

bool AtspiFocus::grabFocus(int32_t processId, const ElementTarget& wanted) const {
  const Budget budget(budget_);
  Library& lib = library();
  std::lock_guard<std::mutex> lock(lib.mutex);
  SigpipeGuard guard;
  bool available = false;
  std::optional<Match> best = bestMatchOnTop(lib, displayBus_, processId, wanted, budget, available);
  if (!best || !arm(budget)) return false;
  Ref<AtspiComponent> component(api().atspi_accessible_get_component_iface(best->node.get()));
  if (!component || !arm(budget)) return false;
  Error error;
  const gboolean done = api().atspi_component_grab_focus(component.get(), error.out());
  return done && !error;
}

void AtspiFocusWatch::start() {
  if (thread_.joinable() || atspiApi() == nullptr) return;
  stopping_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    history_.reset();
    heardMoves_ = 0;
    heardAt_.clear();
    following_ = false;
    settled_ = false;
    heard_ = false;
  }
  thread_ = std::thread([this] { run(); });
  // Input captured before the focus events are subscribed to could not wait for its focus move.
  std::unique_lock<std::mutex> lock(mutex_);
  moved_.wait_for(lock, AtspiFocus::kDefaultBudget + std::chrono::milliseconds(100),
                  [this] { return settled_; });
}

void AtspiFocusWatch::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stopRequested_.notify_all();
  moved_.notify_all();
  thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  history_.reset();
  following_ = false;
}

void AtspiFocusWatch::seed(std::optional<ElementTarget> field) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!heard_) history_.seed(std::move(field));
}

std::optional<ElementTarget> AtspiFocusWatch::secretField() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return history_.now();
}

std::optional<FocusWatching::FocusMoves> AtspiFocusWatch::moves() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!following_) return std::nullopt;
  return FocusWatching::FocusMoves{heardMoves_, history_.moves()};
}

uint64_t AtspiFocusWatch::movesHeardBefore(std::chrono::steady_clock::time_point when) const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t after = 0;
  for (auto it = heardAt_.rbegin(); it != heardAt_.rend() && *it > when; ++it) ++after;
  return heardMoves_ - after;
}

std::optional<ElementTarget> AtspiFocusWatch::secretFieldSince(uint64_t move,
                                                               std::chrono::steady_clock::time_point deadline,
                                                               uint64_t lastMove) {
  std::unique_lock<std::mutex> lock(mutex_);
  moved_.wait_until(lock, deadline, [&] { return !following_ || stopping_; });
  return history_.since(move, deadline, lastMove);
}

void AtspiFocusWatch::setCurrent(std::optional<ElementTarget> field) {
  heard_ = true;
  history_.changed(std::move(field), std::chrono::steady_clock::now());
}

void AtspiFocusWatch::run() {
  follow();
  // Ended early (no bus, or it went away): stay until asked, so that the thread never ends unjoined
  // when the process exits during a recording.
  std::unique_lock<std::mutex> lock(mutex_);
  following_ = false;
  settled_ = true;
  moved_.notify_all();
  stopRequested_.wait(lock, [this] { return stopping_.load(); });
}

void AtspiFocusWatch::follow() {
  SigpipeGuard guard;
  const Budget setUp(AtspiFocus::kDefaultBudget);
  const std::optional<std::string> address = accessibilityBusAddress(displayBus_, setUp);
  if (!address) return;
  PrivateConnection bus = connectTo(*address, setUp);
  if (!bus) return;
  // The signals first, then the registrations that make applications send them.
  if (!call(bus.get(), DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "AddMatch",
            {"type='signal',interface='org.a11y.atspi.Event.Object',member='StateChanged',arg0='focused'"},
            setUp) ||
      !call(bus.get(), DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "AddMatch",
            {"type='signal',interface='org.a11y.atspi.Event.Object',member='PropertyChange',"
             "arg0='accessible-role'"},
            setUp) ||
      !call(bus.get(), "org.a11y.atspi.Registry", "/org/a11y/atspi/registry", "org.a11y.atspi.Registry",
            "RegisterEvent", {"object:state-changed:focused"}, setUp) ||
      !call(bus.get(), "org.a11y.atspi.Registry", "/org/a11y/atspi/registry", "org.a11y.atspi.Registry",
            "RegisterEvent", {"object:property-change:accessible-role"}, setUp)) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    following_ = true;
    settled_ = true;
  }
  moved_.notify_all();
  while (!stopping_ && libdbus().dbus_connection_read_write(bus.get(), 100)) {
    while (Message message{libdbus().dbus_connection_pop_message(bus.get())}) {
      const char* sender = libdbus().dbus_message_get_sender(message.get());
      const char* path = libdbus().dbus_message_get_path(message.get());
      if (sender == nullptr || path == nullptr) continue;
      if (libdbus().dbus_message_is_signal(message.get(), "org.a11y.atspi.Event.Object", "PropertyChange")) {
        DBusMessageIter args;
        const char* property = nullptr;
        if (libdbus().dbus_message_iter_init(message.get(), &args) &&
            libdbus().dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_STRING) {
          libdbus().dbus_message_iter_get_basic(&args, &property);
          if (property != nullptr && std::string_view(property) == "accessible-role")
            roleChanged(bus.get(), sender, path);
        }
        continue;
      }
      const std::optional<StateChange> change = stateChange(message.get());
      if (change && change->state == "focused") focusChanged(bus.get(), sender, path, change->gained);
    }
  }
}

std::optional<ElementTarget> AtspiFocusWatch::secretFieldOf(DBusConnection* bus, const char* sender,
                                                            const char* path) {
  const Budget budget(AtspiFocus::kDefaultBudget);
  const std::optional<dbus_uint32_t> role = replyBasic<dbus_uint32_t>(
      call(bus, sender, path, "org.a11y.atspi.Accessible", "GetRole", {}, budget), DBUS_TYPE_UINT32);
  if (role != static_cast<dbus_uint32_t>(kPasswordRole)) return std::nullopt;
  ElementTarget field;
  field.role = kPasswordRoleName;
  field.name = replyText(call(bus, sender, path, DBUS_INTERFACE_PROPERTIES, "Get",
                              {"org.a11y.atspi.Accessible", "Name"}, budget));
  if (field.name && field.name->empty()) field.name.reset();
  return field;
}

// The element that gained the focus is asked for its role, and its name when it is a password
// field; until it answers, the focus is not known and the move is not counted.
void AtspiFocusWatch::focusChanged(DBusConnection* bus, const char* sender, const char* path, bool gained) {
  if (!gained) {
    if (focusedSender_ != sender || focusedPath_ != path) return;
    focusedSender_.clear();
    focusedPath_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    setCurrent(std::nullopt);
    return;
  }
  focusedSender_ = sender;
  focusedPath_ = path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    heard_ = true;
    const auto now = std::chrono::steady_clock::now();
    history_.asking(now);
    ++heardMoves_;
    heardAt_.push_back(now);
    if (heardAt_.size() > FocusHistory::kKept) heardAt_.pop_front();
  }
  std::optional<ElementTarget> field = secretFieldOf(bus, sender, path);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    history_.moved(std::move(field), std::chrono::steady_clock::now());
  }
  moved_.notify_all();
}

// An entry that hides its text once it has the focus is a password field from then on.
void AtspiFocusWatch::roleChanged(DBusConnection* bus, const char* sender, const char* path) {
  if (focusedSender_ != sender || focusedPath_ != path) return;
  std::optional<ElementTarget> field = secretFieldOf(bus, sender, path);
  std::lock_guard<std::mutex> lock(mutex_);
  setCurrent(std::move(field));
}

}  // namespace diruri
