// The accessibility bus: where it is, and what of it is libatspi's.
#include "core/atspi/atspi_bus.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string_view>

#include "core/x11/x11_connection.hpp"

namespace diruri::atspi_bus {

using namespace dbus;

namespace {

constexpr uint32_t kMaxAddressLongs = 1024;

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The AT_SPI_BUS property the bus launcher puts on the root window.
std::optional<std::string> rootWindowBusAddress() {
  const char* display = environment("AT_SPI_DISPLAY");
  if (display == nullptr) display = environment("DISPLAY");
  const X11Connection connection(display);
  xcb_connection_t* const conn = connection.get();
  std::optional<std::string> address;
  static constexpr std::string_view kName = "AT_SPI_BUS";
  if (connection.root() == XCB_WINDOW_NONE) return address;
  XcbReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
      conn, xcb_intern_atom(conn, 1, static_cast<uint16_t>(kName.size()), kName.data()), nullptr));
  if (!atom || atom->atom == XCB_ATOM_NONE) return address;
  XcbReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
      conn, xcb_get_property(conn, 0, connection.root(), atom->atom, XCB_ATOM_STRING, 0, kMaxAddressLongs),
      nullptr));
  if (property && property->format == 8 && xcb_get_property_value_length(property.get()) > 0) {
    address.emplace(static_cast<const char*>(xcb_get_property_value(property.get())),
                    static_cast<size_t>(xcb_get_property_value_length(property.get())));
  }
  return address;
}

}  // namespace

bool arm(const Budget& budget) {
  const int left = budget.remainingMillis();
  if (left <= 0) return false;
  api().atspi_set_timeout(left, left);
  return true;
}

// The accessibility bus in the order libatspi looks for it, so that when this finds a running bus
// the library finds the same one, and when this finds none the library is never set up (it would
// otherwise ask libdbus for a session bus, which autolaunches one).
std::optional<std::string> accessibilityBusAddress(const Budget& budget) {
  if (const char* address = environment("AT_SPI_BUS_ADDRESS")) return address;
  if (environment("DISPLAY") != nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
    if (auto address = rootWindowBusAddress()) return address;
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
