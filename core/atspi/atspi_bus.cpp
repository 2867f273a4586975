// The accessibility bus: where it is, and bounded calls on private connections to it.
#include "core/atspi/atspi_bus.hpp"

#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <string_view>

#include "core/text/unicode.hpp"
#include "core/x11/x11_connection.hpp"

namespace diruri::atspi_bus {

namespace {

constexpr uint32_t kMaxAddressLongs = 1024;

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// Only local sockets: "autolaunch:" and "unixexec:" would start a process, and a TCP connect
// blocks for as long as the network lets it, past any budget.
bool isLocalSocket(std::string_view address) {
  while (!address.empty()) {
    const size_t end = address.find(';');
    const std::string_view entry = address.substr(0, end);
    if (!entry.empty() && entry.substr(0, entry.find(':')) != "unix") return false;
    address = end == std::string_view::npos ? std::string_view{} : address.substr(end + 1);
  }
  return true;
}

// A private connection (never autolaunched, never ending the process on disconnect) that has said
// Hello within the budget; dbus_bus_register would wait the default 25 s.
}  // namespace

PrivateConnection connectTo(const std::string& address, const Budget& budget) {
  if (!isLocalSocket(address)) return nullptr;
  DBusError error;
  api().dbus_error_init(&error);
  PrivateConnection connection(api().dbus_connection_open_private(address.c_str(), &error));
  api().dbus_error_free(&error);
  if (!connection) return nullptr;
  api().dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
  Message hello(
      api().dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello"));
  if (!hello || budget.remainingMillis() == 0) return nullptr;
  Message reply(api().dbus_connection_send_with_reply_and_block(connection.get(), hello.get(),
                                                                budget.remainingMillis(), &error));
  api().dbus_error_free(&error);
  if (!reply) return nullptr;
  return connection;
}

namespace {

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

std::optional<std::string> sessionBusAddress() {
  if (const char* address = environment("DBUS_SESSION_BUS_ADDRESS")) return address;
  const char* runtime = environment("XDG_RUNTIME_DIR");
  if (runtime == nullptr) return std::nullopt;
  const std::string path = std::string(runtime) + "/bus";
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return std::nullopt;
  std::unique_ptr<char, CFree> escaped(api().dbus_address_escape_value(path.c_str()));
  if (!escaped) return std::nullopt;
  return "unix:path=" + std::string(escaped.get());
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
      api().dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"));
  if (!ask) return std::nullopt;
  // Ask only a launcher that already runs; activation would start one.
  api().dbus_message_set_auto_start(ask.get(), FALSE);
  DBusError error;
  api().dbus_error_init(&error);
  Message reply(api().dbus_connection_send_with_reply_and_block(connection.get(), ask.get(),
                                                                budget.remainingMillis(), &error));
  const char* address = nullptr;
  if (reply &&
      !api().dbus_message_get_args(reply.get(), &error, DBUS_TYPE_STRING, &address, DBUS_TYPE_INVALID)) {
    address = nullptr;
  }
  api().dbus_error_free(&error);
  if (address == nullptr || *address == '\0') return std::nullopt;
  return std::string(address);
}

Message call(DBusConnection* bus, const char* destination, const char* path, const char* interface,
             const char* method, std::initializer_list<const char*> strings, const Budget& budget) {
  return callWith(bus, destination, path, interface, method, budget, [&](DBusMessageIter& args) {
    for (const char* value : strings) {
      if (!api().dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &value)) return false;
    }
    return true;
  });
}

bool isReply(const Message& reply) {
  return reply && api().dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
}

bool replyArgument(const Message& reply, int type, DBusMessageIter& out) {
  DBusMessageIter args;
  if (!isReply(reply) || !api().dbus_message_iter_init(reply.get(), &args)) return false;
  if (api().dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_VARIANT) {
    api().dbus_message_iter_recurse(&args, &out);
  } else {
    out = args;
  }
  return api().dbus_message_iter_get_arg_type(&out) == type;
}

std::optional<std::string> replyText(const Message& reply, int type) {
  const std::optional<const char*> text = replyBasic<const char*>(reply, type);
  if (!text || *text == nullptr) return std::nullopt;
  return sanitizeUtf8(*text);
}

std::optional<StateChange> stateChange(DBusMessage* signal) {
  if (!api().dbus_message_is_signal(signal, "org.a11y.atspi.Event.Object", "StateChanged"))
    return std::nullopt;
  DBusMessageIter args;
  const char* state = nullptr;
  dbus_int32_t detail = 0;
  if (!api().dbus_message_iter_init(signal, &args) ||
      api().dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_STRING)
    return std::nullopt;
  api().dbus_message_iter_get_basic(&args, &state);
  if (state == nullptr || !api().dbus_message_iter_next(&args) ||
      api().dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_INT32)
    return std::nullopt;
  api().dbus_message_iter_get_basic(&args, &detail);
  return StateChange{state, detail != 0};
}

Message callWith(DBusConnection* bus, const char* destination, const char* path, const char* interface,
                 const char* method, const Budget& budget,
                 const std::function<bool(DBusMessageIter&)>& append) {
  Message ask(api().dbus_message_new_method_call(destination, path, interface, method));
  if (!ask) return nullptr;
  DBusMessageIter args;
  api().dbus_message_iter_init_append(ask.get(), &args);
  if (!append(args)) return nullptr;
  const int left = budget.remainingMillis();
  if (left == 0) return nullptr;
  DBusError error;
  api().dbus_error_init(&error);
  Message reply(api().dbus_connection_send_with_reply_and_block(bus, ask.get(), left, &error));
  api().dbus_error_free(&error);
  return reply;
}

}  // namespace diruri::atspi_bus
