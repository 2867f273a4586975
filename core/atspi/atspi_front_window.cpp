// The front window from the accessibility bus's window events.
#include "core/atspi/atspi_front_window.hpp"

#include <utility>
#include <vector>

#include "core/atspi/atspi_bus.hpp"
#include "core/platform/sigpipe_guard.hpp"

namespace diruri {

using namespace atspi_bus;
using namespace dbus;

namespace {

constexpr char kRoot[] = "/org/a11y/atspi/accessible/root";
// How often the thread looks up from its bus, for a question that asked it to look again.
constexpr int kPollMillis = 20;
constexpr std::chrono::milliseconds kSetUpBudget{2000};
constexpr std::chrono::milliseconds kQuestionBudget{500};
// The most applications and windows looked through for the one active at the start.
constexpr size_t kMostLookedAt = 200;

using Reference = std::pair<std::string, std::string>;  // bus name, object path

// The children of an element, as references.
std::vector<Reference> childrenOf(DBusConnection* bus, const Reference& of, const Budget& budget) {
  const Message reply =
      call(bus, of.first.c_str(), of.second.c_str(), "org.a11y.atspi.Accessible", "GetChildren", {}, budget);
  std::vector<Reference> out;
  DBusMessageIter array, item, field;
  if (!replyArgument(reply, DBUS_TYPE_ARRAY, array)) return out;
  libdbus().dbus_message_iter_recurse(&array, &item);
  while (libdbus().dbus_message_iter_get_arg_type(&item) == DBUS_TYPE_STRUCT && out.size() < kMostLookedAt) {
    libdbus().dbus_message_iter_recurse(&item, &field);
    const char* name = nullptr;
    const char* path = nullptr;
    if (libdbus().dbus_message_iter_get_arg_type(&field) == DBUS_TYPE_STRING) {
      libdbus().dbus_message_iter_get_basic(&field, &name);
      if (libdbus().dbus_message_iter_next(&field) &&
          libdbus().dbus_message_iter_get_arg_type(&field) == DBUS_TYPE_OBJECT_PATH)
        libdbus().dbus_message_iter_get_basic(&field, &path);
    }
    if (name != nullptr && path != nullptr) out.emplace_back(name, path);
    libdbus().dbus_message_iter_next(&item);
  }
  return out;
}

bool isActive(DBusConnection* bus, const Reference& element, const Budget& budget) {
  const Message reply = call(bus, element.first.c_str(), element.second.c_str(), "org.a11y.atspi.Accessible",
                             "GetState", {}, budget);
  DBusMessageIter array, word;
  if (!replyArgument(reply, DBUS_TYPE_ARRAY, array)) return false;
  libdbus().dbus_message_iter_recurse(&array, &word);
  if (libdbus().dbus_message_iter_get_arg_type(&word) != DBUS_TYPE_UINT32) return false;
  dbus_uint32_t low = 0;
  libdbus().dbus_message_iter_get_basic(&word, &low);
  return (low & (1u << ATSPI_STATE_ACTIVE)) != 0;
}

std::optional<std::string> nameOf(DBusConnection* bus, const Reference& element, const Budget& budget) {
  std::optional<std::string> name =
      replyText(call(bus, element.first.c_str(), element.second.c_str(), DBUS_INTERFACE_PROPERTIES, "Get",
                     {"org.a11y.atspi.Accessible", "Name"}, budget));
  if (name && name->empty()) name.reset();
  return name;
}

// The window and its application as a front window is told: none when the application does not
// say its name or its process.
std::optional<ForegroundAppSnapshot> describe(DBusConnection* bus, const Reference& frame) {
  const Budget budget(kQuestionBudget);
  const std::optional<std::string> appName = nameOf(bus, {frame.first, kRoot}, budget);
  const std::optional<dbus_uint32_t> pid =
      replyBasic<dbus_uint32_t>(call(bus, DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                     "GetConnectionUnixProcessID", {frame.first.c_str()}, budget),
                                DBUS_TYPE_UINT32);
  if (!appName || !pid || *pid == 0) return std::nullopt;
  ForegroundAppSnapshot app;
  app.appName = *appName;
  app.processId = static_cast<int32_t>(*pid);
  app.windowTitle = nameOf(bus, frame, budget);
  return app;
}

}  // namespace

AtspiFrontWindow::~AtspiFrontWindow() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

bool AtspiFrontWindow::following() {
  std::unique_lock lock(mutex_);
  if (!started_) {
    started_ = true;
    if (atspiApi() == nullptr || dbusApi() == nullptr) {
      settledOnce_ = true;
    } else {
      thread_ = std::thread([this] { run(); });
    }
  }
  settled_.wait_for(lock, kSetUpBudget + std::chrono::milliseconds(500), [this] { return settledOnce_; });
  return follows_;
}

std::optional<FrontWindow> AtspiFrontWindow::frontWindow() {
  if (!following()) return std::nullopt;
  std::unique_lock lock(mutex_);
  if (!front_ && follows_ && std::chrono::steady_clock::now() - scannedAt_ >= kQuestionBudget) {
    rescan_ = true;
    const uint64_t before = scans_;
    settled_.wait_for(lock, kQuestionBudget, [&] { return scans_ != before || !follows_; });
  }
  if (!front_) return std::nullopt;
  return FrontWindow{front_->app, std::nullopt};
}

bool AtspiFrontWindow::knowsFrontWindow() { return following(); }

void AtspiFrontWindow::run() {
  SigpipeGuard guard;
  const auto settle = [this](bool follows) {
    std::lock_guard lock(mutex_);
    follows_ = follows;
    settledOnce_ = true;
    settled_.notify_all();
  };
  const Budget setUp(kSetUpBudget);
  const std::optional<std::string> address = accessibilityBusAddress(displayBus_, setUp);
  PrivateConnection bus = address ? connectTo(*address, setUp) : nullptr;
  if (!bus) {
    settle(false);
    return;
  }
  // The signals first, then the registrations that make applications send them.
  if (!listenFor(bus.get(),
                 {"type='signal',interface='org.a11y.atspi.Event.Window',member='Activate'",
                  "type='signal',interface='org.a11y.atspi.Event.Window',member='Deactivate'",
                  "type='signal',interface='org.a11y.atspi.Event.Object',member='PropertyChange',"
                  "arg0='accessible-name'",
                  "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged'"},
                 {"window:activate", "window:deactivate", "object:property-change:accessible-name"}, setUp)) {
    settle(false);
    return;
  }
  // A window in front already sends nothing: the active frame of an application.
  const auto scan = [&](const Budget& budget) {
    std::optional<Front> found;
    for (const Reference& application : childrenOf(bus.get(), {kRegistry, kRoot}, budget)) {
      for (const Reference& frame : childrenOf(bus.get(), application, budget)) {
        if (!isActive(bus.get(), frame, budget)) continue;
        if (std::optional<ForegroundAppSnapshot> app = describe(bus.get(), frame))
          found = Front{frame.first, frame.second, std::move(*app)};
        break;
      }
      if (found) break;
    }
    std::lock_guard lock(mutex_);
    if (found && !front_) front_ = std::move(found);
    ++scans_;
    scannedAt_ = std::chrono::steady_clock::now();
    rescan_ = false;
    settled_.notify_all();
  };
  scan(setUp);
  settle(true);

  while (!stopping_ && libdbus().dbus_connection_read_write(bus.get(), kPollMillis)) {
    bool again = false;
    {
      std::lock_guard lock(mutex_);
      again = rescan_;
    }
    if (again) scan(Budget(kQuestionBudget));
    while (Message message{libdbus().dbus_connection_pop_message(bus.get())}) {
      const char* sender = libdbus().dbus_message_get_sender(message.get());
      const char* path = libdbus().dbus_message_get_path(message.get());
      if (sender == nullptr || path == nullptr) continue;
      DBusMessage* m = message.get();
      if (libdbus().dbus_message_is_signal(m, "org.a11y.atspi.Event.Window", "Activate")) {
        std::optional<ForegroundAppSnapshot> app = describe(bus.get(), {sender, path});
        std::lock_guard lock(mutex_);
        if (app) {
          front_ = Front{sender, path, std::move(*app)};
        } else {
          front_.reset();  // in front, but it cannot be told which it is
        }
      } else if (libdbus().dbus_message_is_signal(m, "org.a11y.atspi.Event.Window", "Deactivate")) {
        std::lock_guard lock(mutex_);
        if (front_ && front_->sender == sender && front_->path == path) front_.reset();
      } else if (libdbus().dbus_message_is_signal(m, "org.a11y.atspi.Event.Object", "PropertyChange")) {
        bool ours = false;
        {
          std::lock_guard lock(mutex_);
          ours = front_ && front_->sender == sender && front_->path == path;
        }
        if (!ours) continue;
        // A title that changed: asked again, as the window keeps the front.
        std::optional<std::string> title = nameOf(bus.get(), {sender, path}, Budget(kQuestionBudget));
        std::lock_guard lock(mutex_);
        if (front_ && front_->sender == sender && front_->path == path)
          front_->app.windowTitle = std::move(title);
      } else if (libdbus().dbus_message_is_signal(m, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        DBusError error;
        libdbus().dbus_error_init(&error);
        if (!libdbus().dbus_message_get_args(m, &error, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &oldOwner,
                                             DBUS_TYPE_STRING, &newOwner, DBUS_TYPE_INVALID)) {
          libdbus().dbus_error_free(&error);
          continue;
        }
        // The connection of the window in front went: its process ended without a deactivate.
        std::lock_guard lock(mutex_);
        if (front_ && front_->sender == name && newOwner != nullptr && newOwner[0] == '\0') front_.reset();
      }
    }
  }
  std::lock_guard lock(mutex_);
  follows_ = false;
  front_.reset();
}

}  // namespace diruri
