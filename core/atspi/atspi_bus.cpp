// The accessibility bus: where it is, and what of it is libatspi's.
#include "core/atspi/atspi_bus.hpp"

#include <cstdlib>

namespace diruri::atspi_bus {

using namespace dbus;

bool arm(const Budget& budget) {
  const int left = budget.remainingMillis();
  if (left <= 0) return false;
  api().atspi_set_timeout(left, left);
  return true;
}

bool listenFor(DBusConnection* bus, std::initializer_list<const char*> rules,
               std::initializer_list<const char*> events, const Budget& budget) {
  for (const char* rule : rules) {
    if (!isReply(
            call(bus, DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "AddMatch", {rule}, budget)))
      return false;
  }
  for (const char* event : events) {
    if (!isReply(
            call(bus, kRegistry, "/org/a11y/atspi/registry", kRegistry, "RegisterEvent", {event}, budget)))
      return false;
  }
  return true;
}

// The accessibility bus in the order libatspi looks for it, so that when this finds a running bus
// the library finds the same one, and when this finds none the library is never set up (it would
// otherwise ask libdbus for a session bus, which autolaunches one).
std::optional<std::string> accessibilityBusAddress(const DisplayBusAddress& display, const Budget& budget) {
  if (const char* address = std::getenv("AT_SPI_BUS_ADDRESS"); address != nullptr && *address != '\0')
    return address;
  if (display) {
    if (auto address = display()) return address;
  }
  const std::optional<std::string> session = sessionBusAddress();
  if (!session) return std::nullopt;
  PrivateConnection connection = connectTo(*session, budget);
  if (!connection || budget.remainingMillis() == 0) return std::nullopt;
  Message ask(
      libdbus().dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"));
  if (!ask) return std::nullopt;
  // Ask only a launcher that already runs; activation would start one.
  libdbus().dbus_message_set_auto_start(ask.get(), FALSE);
  DBusError error;
  libdbus().dbus_error_init(&error);
  Message reply(libdbus().dbus_connection_send_with_reply_and_block(connection.get(), ask.get(),
                                                                    budget.remainingMillis(), &error));
  const char* address = nullptr;
  if (reply &&
      !libdbus().dbus_message_get_args(reply.get(), &error, DBUS_TYPE_STRING, &address, DBUS_TYPE_INVALID)) {
    address = nullptr;
  }
  libdbus().dbus_error_free(&error);
  if (address == nullptr || *address == '\0') return std::nullopt;
  return std::string(address);
}

std::optional<StateChange> stateChange(DBusMessage* signal) {
  if (!libdbus().dbus_message_is_signal(signal, "org.a11y.atspi.Event.Object", "StateChanged"))
    return std::nullopt;
  DBusMessageIter args;
  const char* state = nullptr;
  dbus_int32_t detail = 0;
  if (!libdbus().dbus_message_iter_init(signal, &args) ||
      libdbus().dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_STRING)
    return std::nullopt;
  libdbus().dbus_message_iter_get_basic(&args, &state);
  if (state == nullptr || !libdbus().dbus_message_iter_next(&args) ||
      libdbus().dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_INT32)
    return std::nullopt;
  libdbus().dbus_message_iter_get_basic(&args, &detail);
  return StateChange{state, detail != 0};
}

}  // namespace diruri::atspi_bus
