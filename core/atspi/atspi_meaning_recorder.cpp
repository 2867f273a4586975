// Keys and inferred clicks from the accessibility bus.
#include "core/atspi/atspi_meaning_recorder.hpp"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/atspi/atspi_bus.hpp"
#include "core/atspi/atspi_focus.hpp"
#include "core/platform/sigpipe_guard.hpp"
#include "core/text/keysym_text.hpp"

namespace diruri {

using namespace atspi_bus;
using namespace dbus;

namespace {

constexpr char kListenerPath[] = "/org/diruri/keys";
constexpr char kController[] = "/org/a11y/atspi/registry/deviceeventcontroller";
constexpr int kPollMillis = 100;
// The registry matches a listener's modifier mask exactly, on the low eight bits: one registration
// per combination hears every key.
constexpr uint32_t kModifierCombinations = 256;
// A focus change this soon after a key that types nothing (Tab, an arrow, the Alt of a mnemonic) is
// that key's doing, not the pointer's. Typing a character moves no focus.
constexpr auto kKeyboardCause = std::chrono::milliseconds(400);
// The first focus change this soon after a window became active restores the window's old focus.
constexpr auto kActivationEcho = std::chrono::milliseconds(300);
// A focus and a check of the same element this close together are one click.
constexpr auto kSameClick = std::chrono::milliseconds(500);
constexpr int kMaxPathDepth = 32;
// Setting up asks the bus and the registry some 260 questions, and an inferred click a dozen of an
// application busy with that click; a loaded desktop answers them slowly.
constexpr std::chrono::milliseconds kClickBudget{1500};
constexpr std::chrono::milliseconds kStartBudget{2000};
constexpr std::chrono::milliseconds kTrustBudget{1000};

constexpr AtspiRole kClickable[] = {
    ATSPI_ROLE_PUSH_BUTTON,     ATSPI_ROLE_TOGGLE_BUTTON,
    ATSPI_ROLE_CHECK_BOX,       ATSPI_ROLE_RADIO_BUTTON,
    ATSPI_ROLE_MENU_ITEM,       ATSPI_ROLE_CHECK_MENU_ITEM,
    ATSPI_ROLE_RADIO_MENU_ITEM, ATSPI_ROLE_LINK,
    ATSPI_ROLE_PAGE_TAB,        ATSPI_ROLE_MENU,
    ATSPI_ROLE_COMBO_BOX,       ATSPI_ROLE_LIST_ITEM,
    ATSPI_ROLE_TABLE_CELL,      ATSPI_ROLE_TREE_ITEM,
    ATSPI_ROLE_SPIN_BUTTON,
};

bool clickable(uint32_t role) {
  for (AtspiRole r : kClickable)
    if (static_cast<uint32_t>(r) == role) return true;
  return false;
}

// An object reference (bus name, path), as the Parent property holds it.
std::optional<std::pair<std::string, std::string>> reference(const Message& reply) {
  DBusMessageIter value, field;
  if (!replyArgument(reply, DBUS_TYPE_STRUCT, value)) return std::nullopt;
  libdbus().dbus_message_iter_recurse(&value, &field);
  const char* name = nullptr;
  const char* path = nullptr;
  if (libdbus().dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_STRING) return std::nullopt;
  libdbus().dbus_message_iter_get_basic(&field, &name);
  if (!libdbus().dbus_message_iter_next(&field) ||
      libdbus().dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_OBJECT_PATH)
    return std::nullopt;
  libdbus().dbus_message_iter_get_basic(&field, &path);
  if (name == nullptr || path == nullptr) return std::nullopt;
  return std::pair<std::string, std::string>{name, path};
}

// One element on the bus, asked with bounded calls.
struct Element {
  DBusConnection* bus;
  std::string sender;
  std::string path;
  const Budget* within;

  Message ask(const char* interface, const char* method,
              std::initializer_list<const char*> strings = {}) const {
    return call(bus, sender.c_str(), path.c_str(), interface, method, strings, *within);
  }
  std::optional<uint32_t> role() const {
    return replyBasic<dbus_uint32_t>(ask("org.a11y.atspi.Accessible", "GetRole"), DBUS_TYPE_UINT32);
  }
  std::optional<std::string> roleName() const {
    return replyText(ask("org.a11y.atspi.Accessible", "GetRoleName"));
  }
  std::optional<std::string> name() const {
    std::optional<std::string> n =
        replyText(ask(DBUS_INTERFACE_PROPERTIES, "Get", {"org.a11y.atspi.Accessible", "Name"}));
    if (n && n->empty()) n.reset();
    return n;
  }
  int32_t indexInParent() const {
    return std::max<int32_t>(
        replyBasic<dbus_int32_t>(ask("org.a11y.atspi.Accessible", "GetIndexInParent"), DBUS_TYPE_INT32)
            .value_or(0),
        0);
  }
  std::optional<Element> parent() const {
    const auto ref =
        reference(ask(DBUS_INTERFACE_PROPERTIES, "Get", {"org.a11y.atspi.Accessible", "Parent"}));
    if (!ref || ref->second == "/org/a11y/atspi/null") return std::nullopt;
    return Element{bus, ref->first, ref->second, within};
  }
  // The extent inside its window.
  std::optional<WindowGeometry> extents() const {
    const dbus_uint32_t window = ATSPI_COORD_TYPE_WINDOW;
    const Message reply =
        callWith(bus, sender.c_str(), path.c_str(), "org.a11y.atspi.Component", "GetExtents", *within,
                 [&](DBusMessageIter& args) {
                   return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &window);
                 });
    DBusMessageIter value, field;
    if (!replyArgument(reply, DBUS_TYPE_STRUCT, value)) return std::nullopt;
    libdbus().dbus_message_iter_recurse(&value, &field);
    int32_t v[4];
    for (int i = 0; i < 4; ++i) {
      if (libdbus().dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_INT32) return std::nullopt;
      libdbus().dbus_message_iter_get_basic(&field, &v[i]);
      libdbus().dbus_message_iter_next(&field);
    }
    if (v[2] <= 0 || v[3] <= 0) return std::nullopt;
    return WindowGeometry{v[0], v[1], v[2], v[3]};
  }
};

// The element as a click target: role, name and the path from its window (the application's
// child) down to it, with its extent inside that window.
std::optional<ElementTarget> targetOf(const Element& element) {
  ElementTarget target;
  std::optional<std::string> role = element.roleName();
  if (!role || role->empty()) return std::nullopt;
  target.role = *role;
  target.name = element.name();
  target.bounds = element.extents();
  if (!target.bounds) return std::nullopt;
  // Up to the application, each level's role and place among its siblings.
  std::vector<ElementPathStep> upward;
  std::optional<Element> node = element;
  std::string nodeRole = target.role;
  for (int depth = 0; node && depth < kMaxPathDepth; ++depth) {
    std::optional<Element> parent = node->parent();
    if (!parent) break;
    upward.push_back(ElementPathStep{nodeRole, node->indexInParent()});
    nodeRole = parent->roleName().value_or("");
    if (nodeRole == "application") break;
    node = std::move(parent);
  }
  if (element.within->remainingMillis() == 0) return std::nullopt;  // cut short: no answer
  target.path.assign(upward.rbegin(), upward.rend());
  return target;
}

Message newCall(const char* method) {
  return Message(libdbus().dbus_message_new_method_call(kRegistry, kController,
                                                        "org.a11y.atspi.DeviceEventController", method));
}

// One RegisterKeystrokeListener for all keys with this modifier mask, presses and releases, neither
// synchronous nor consuming nor global; sent without waiting.
bool registerKeys(DBusConnection* bus, uint32_t mask, dbus_uint32_t& serial) {
  Message ask = newCall("RegisterKeystrokeListener");
  if (!ask) return false;
  DBusMessageIter args, keys, mode;
  libdbus().dbus_message_iter_init_append(ask.get(), &args);
  const char* path = kListenerPath;
  const dbus_uint32_t types = (1u << ATSPI_KEY_PRESSED_EVENT) | (1u << ATSPI_KEY_RELEASED_EVENT);
  const dbus_bool_t no = FALSE;
  bool ok = libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_OBJECT_PATH, &path) &&
            libdbus().dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "(iisi)", &keys) &&
            libdbus().dbus_message_iter_close_container(&args, &keys) &&
            libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &mask) &&
            libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &types) &&
            libdbus().dbus_message_iter_open_container(&args, DBUS_TYPE_STRUCT, nullptr, &mode);
  for (int i = 0; ok && i < 3; ++i)
    ok = libdbus().dbus_message_iter_append_basic(&mode, DBUS_TYPE_BOOLEAN, &no);
  ok = ok && libdbus().dbus_message_iter_close_container(&args, &mode);
  return ok && libdbus().dbus_connection_send(bus, ask.get(), &serial);
}

// A key notification: (type, keysym, key code, modifiers, time, string, is text).
struct KeyNote {
  uint32_t type = 0;
  int32_t keysym = 0;
  uint32_t keyCode = 0;
};

std::optional<KeyNote> keyNote(DBusMessage* message) {
  DBusMessageIter args, field;
  if (!libdbus().dbus_message_iter_init(message, &args) ||
      libdbus().dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_STRUCT)
    return std::nullopt;
  libdbus().dbus_message_iter_recurse(&args, &field);
  KeyNote note;
  if (libdbus().dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_UINT32) return std::nullopt;
  libdbus().dbus_message_iter_get_basic(&field, &note.type);
  if (!libdbus().dbus_message_iter_next(&field) ||
      libdbus().dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_INT32)
    return std::nullopt;
  libdbus().dbus_message_iter_get_basic(&field, &note.keysym);
  if (!libdbus().dbus_message_iter_next(&field)) return std::nullopt;
  // Registries pass the key code on as 32 bits, older ones as the 16 bits toolkits send.
  if (libdbus().dbus_message_iter_get_arg_type(&field) == DBUS_TYPE_UINT32) {
    libdbus().dbus_message_iter_get_basic(&field, &note.keyCode);
  } else if (libdbus().dbus_message_iter_get_arg_type(&field) == DBUS_TYPE_INT16) {
    dbus_int16_t code = 0;
    libdbus().dbus_message_iter_get_basic(&field, &code);
    note.keyCode = static_cast<uint16_t>(code);
  } else {
    return std::nullopt;
  }
  return note;
}

void answer(DBusConnection* bus, DBusMessage* call) {
  Message reply(libdbus().dbus_message_new_method_return(call));
  const dbus_bool_t consumed = FALSE;
  if (!reply ||
      !libdbus().dbus_message_append_args(reply.get(), DBUS_TYPE_BOOLEAN, &consumed, DBUS_TYPE_INVALID))
    return;
  libdbus().dbus_connection_send(bus, reply.get(), nullptr);
  libdbus().dbus_connection_flush(bus);
}

using SteadyTime = SteadyClock::time_point;

}  // namespace

struct AtspiMeaningRecorder::Capture {
  FrontWindowSource& windows;
  Handler handler;
  PrivateConnection keyBus;
  PrivateConnection focusBus;
  // Asked to stop: each thread reads once more what had already come (a click being looked up is
  // still delivered), then ends.
  std::atomic<bool> stopping{false};
  std::atomic<bool> silenced{false};  // stopped from inside the handler: nothing more is delivered
  std::atomic<bool> running{true};
  std::atomic<int64_t> lastKeyNanos{0};  // steady clock, of the last key that types nothing
  std::mutex deliverMutex;
  bool ended = false;  // a kCaptureLost was delivered
  // While the focus thread asks about an element that may have been clicked, keys that come are
  // held back, so that the log keeps the order in which the bus told things.
  bool resolving = false;
  std::vector<CapturedInputEvent> held;
  std::thread keys;
  std::thread focus;

  // Focus thread only.
  std::map<std::string, SteadyTime> activated;  // by sender
  std::string lastClickSender, lastClickPath;
  SteadyTime lastClickAt{};

  Capture(FrontWindowSource& w, Handler h) : windows(w), handler(std::move(h)) {}

  // A handler that throws loses that event only: escaping one of the recorder's threads, it would
  // end the process.
  void handle(const CapturedInputEvent& event) {
    try {
      handler(event);
    } catch (...) {
    }
  }

  void deliver(const CapturedInputEvent& event) {
    std::lock_guard lock(deliverMutex);
    if (resolving) {
      held.push_back(event);
    } else if (!silenced && !ended) {
      handle(event);
    }
  }

  // Ends a resolution: the click found, if any, then what was held back.
  void resolved(std::vector<CapturedInputEvent> click) {
    std::lock_guard lock(deliverMutex);
    resolving = false;
    click.insert(click.end(), held.begin(), held.end());
    held.clear();
    for (const CapturedInputEvent& event : click)
      if (!silenced && !ended) handle(event);
  }

  // The bus went away under one of the threads: the capture ends, once.
  void lost() {
    running = false;
    std::lock_guard lock(deliverMutex);
    if (stopping || silenced || ended) return;
    ended = true;
    CapturedInputEvent marker;
    marker.type = EventType::kCaptureLost;
    handle(marker);
  }

  void followKeys() {
    SigpipeGuard guard;
    std::map<uint32_t, int32_t> pressed;  // key code -> keysym of its press
    for (bool last = false; !last;) {
      last = stopping;
      if (!libdbus().dbus_connection_read_write(keyBus.get(), last ? 0 : kPollMillis)) {
        if (!stopping) lost();
        return;
      }
      while (Message message{libdbus().dbus_connection_pop_message(keyBus.get())}) {
        if (!libdbus().dbus_message_is_method_call(message.get(), "org.a11y.atspi.DeviceEventListener",
                                                   "NotifyEvent"))
          continue;
        // The application waits for the answer before it handles its key, so the key is logged
        // first: whatever the key does (Tab into a password field) comes after it.
        noteKey(keyNote(message.get()), pressed);
        answer(keyBus.get(), message.get());
      }
    }
  }

  // A key notification as a key event; a release gets its press's keysym.
  void noteKey(const std::optional<KeyNote>& note, std::map<uint32_t, int32_t>& pressed) {
    if (!note || note->keysym <= 0) return;
    CapturedInputEvent event;
    int32_t keysym = note->keysym;
    if (note->type == ATSPI_KEY_PRESSED_EVENT) {
      event.type = EventType::kKeyDown;
      pressed[note->keyCode] = keysym;
    } else if (note->type == ATSPI_KEY_RELEASED_EVENT) {
      event.type = EventType::kKeyUp;
      if (auto it = pressed.find(note->keyCode); it != pressed.end()) {
        keysym = it->second;
        pressed.erase(it);
      }
    } else {
      return;
    }
    event.keysym = keysym;
    event.text = keysymText(static_cast<uint32_t>(keysym));
    if (!event.text) lastKeyNanos = SteadyClock::now().time_since_epoch().count();
    deliver(event);
  }

  void followFocus() {
    SigpipeGuard guard;
    for (bool last = false; !last;) {
      last = stopping;
      if (!libdbus().dbus_connection_read_write(focusBus.get(), last ? 0 : kPollMillis)) {
        if (!stopping) lost();
        return;
      }
      while (Message message{libdbus().dbus_connection_pop_message(focusBus.get())}) {
        const char* sender = libdbus().dbus_message_get_sender(message.get());
        const char* path = libdbus().dbus_message_get_path(message.get());
        if (sender == nullptr || path == nullptr) continue;
        if (libdbus().dbus_message_is_signal(message.get(), "org.a11y.atspi.Event.Window", "Activate")) {
          activated[sender] = SteadyClock::now();
          continue;
        }
        const std::optional<StateChange> change = stateChange(message.get());
        if (!change) continue;
        if (change->state == "focused" && change->gained) {
          elementActivated(sender, path, true);
        } else if (change->state == "checked") {
          elementActivated(sender, path, false);
        }
      }
    }
  }

  void elementActivated(const std::string& sender, const std::string& path, bool byFocus) {
    const SteadyTime now = SteadyClock::now();
    const SteadyTime lastKey{SteadyClock::duration(lastKeyNanos.load())};
    if (lastKeyNanos.load() != 0 && now - lastKey < kKeyboardCause) return;
    if (byFocus) {
      if (auto it = activated.find(sender); it != activated.end()) {
        const bool echo = now - it->second < kActivationEcho;
        activated.erase(it);  // only the first focus after an activation is its echo
        if (echo) return;
      }
    }
    if (sender == lastClickSender && path == lastClickPath && now - lastClickAt < kSameClick) return;
    {
      std::lock_guard lock(deliverMutex);
      resolving = true;
    }
    resolved(clickOn(sender, path, now));
  }

  std::vector<CapturedInputEvent> clickOn(const std::string& sender, const std::string& path,
                                          SteadyTime now) {
    const Budget budget(kClickBudget);
    const Element element{focusBus.get(), sender, path, &budget};
    const std::optional<uint32_t> role = element.role();
    if (!role || !clickable(*role)) return {};
    std::optional<ElementTarget> target = targetOf(element);
    if (!target) return {};
    const std::optional<FrontWindow> front = windows.frontWindow();
    CapturedInputEvent press;
    press.type = EventType::kMouseDown;
    press.inferred = true;
    if (front && front->geometry) {
      target->bounds->x += front->geometry->x;
      target->bounds->y += front->geometry->y;
      press.x = target->bounds->x + target->bounds->width / 2.0;
      press.y = target->bounds->y + target->bounds->height / 2.0;
    } else {
      // Where no window's place is told (GNOME) the click has no point on the screen: its element,
      // placed in its window, says what was pressed.
      target->windowRelative = true;
    }
    lastClickSender = sender;
    lastClickPath = path;
    lastClickAt = now;
    CapturedInputEvent release = press;
    release.type = EventType::kMouseUp;
    press.target = std::move(target);
    return {press, release};
  }
};

AtspiMeaningRecorder::AtspiMeaningRecorder(FrontWindowSource& windows, DisplayBusAddress displayBus)
    : windows_(windows), displayBus_(std::move(displayBus)) {}

AtspiMeaningRecorder::~AtspiMeaningRecorder() { stop(); }

bool AtspiMeaningRecorder::canObserveInput() { return AtspiFocus(displayBus_).busAnswers(kTrustBudget); }

std::string AtspiMeaningRecorder::unavailableReason() {
  return "No accessibility bus and registry answer: keys and clicks are not captured in this Wayland "
         "session.";
}

bool AtspiMeaningRecorder::start(Handler onEvent) {
  std::lock_guard lock(mutex_);
  if (capture_) {
    const std::thread::id self = std::this_thread::get_id();
    if (capture_->keys.get_id() == self || capture_->focus.get_id() == self) return false;
    if (capture_->running) return false;
    capture_->stopping = true;
    capture_->silenced = true;
    if (capture_->keys.joinable()) capture_->keys.join();
    if (capture_->focus.joinable()) capture_->focus.join();
    capture_.reset();
  }
  if (atspiApi() == nullptr) return false;
  SigpipeGuard guard;
  const Budget budget(kStartBudget);
  const std::optional<std::string> address = accessibilityBusAddress(displayBus_, budget);
  if (!address) return false;
  auto capture = std::make_unique<Capture>(windows_, std::move(onEvent));
  capture->keyBus = connectTo(*address, budget);
  capture->focusBus = connectTo(*address, budget);
  if (!capture->keyBus || !capture->focusBus) return false;

  // Focus signals first, then the registrations that make applications send them.
  DBusConnection* focus = capture->focusBus.get();
  if (!listenFor(
          focus,
          {"type='signal',interface='org.a11y.atspi.Event.Object',member='StateChanged',arg0='focused'",
           "type='signal',interface='org.a11y.atspi.Event.Object',member='StateChanged',arg0='checked'",
           "type='signal',interface='org.a11y.atspi.Event.Window',member='Activate'"},
          {"object:state-changed:focused", "object:state-changed:checked", "window:activate"}, budget))
    return false;
  // All key registrations go out at once; the answers are read back together.
  DBusConnection* keys = capture->keyBus.get();
  std::vector<dbus_uint32_t> serials(kModifierCombinations);
  for (uint32_t mask = 0; mask < kModifierCombinations; ++mask) {
    if (!registerKeys(keys, mask, serials[mask])) return false;
  }
  libdbus().dbus_connection_flush(keys);
  size_t answered = 0;
  while (answered < serials.size() && budget.remainingMillis() > 0) {
    if (!libdbus().dbus_connection_read_write(keys, budget.remainingMillis())) return false;
    while (Message message{libdbus().dbus_connection_pop_message(keys)}) {
      const int type = libdbus().dbus_message_get_type(message.get());
      if (type == DBUS_MESSAGE_TYPE_ERROR) return false;
      if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN) ++answered;
    }
  }
  if (answered < serials.size()) return false;

  Capture* c = capture.get();
  capture->keys = std::thread([c] { c->followKeys(); });
  capture->focus = std::thread([c] { c->followFocus(); });
  capture_ = std::move(capture);
  return true;
}

void AtspiMeaningRecorder::stop() {
  std::unique_ptr<Capture> capture;
  {
    std::lock_guard lock(mutex_);
    if (!capture_) return;
    capture_->stopping = true;
    capture_->running = false;
    const std::thread::id self = std::this_thread::get_id();
    // From inside the handler: the thread ends on its own, and the next start() or stop() joins it.
    if (capture_->keys.get_id() == self || capture_->focus.get_id() == self) {
      capture_->silenced = true;
      return;
    }
    capture = std::move(capture_);
  }
  // Joined without the lock: the last deliveries may take a click's lookup.
  if (capture->keys.joinable()) capture->keys.join();
  if (capture->focus.joinable()) capture->focus.join();
}

bool AtspiMeaningRecorder::isRunning() {
  std::lock_guard lock(mutex_);
  return capture_ && capture_->running;
}

}  // namespace diruri
