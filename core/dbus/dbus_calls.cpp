#include "core/dbus/dbus_calls.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "core/text/unicode.hpp"

namespace diruri::dbus {

namespace {

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

}  // namespace

// Hello is sent by hand: dbus_bus_register would wait the default 25 s.
PrivateConnection connectTo(const std::string& address, const Budget& budget) {
  if (!isLocalSocket(address)) return nullptr;
  DBusError error;
  libdbus().dbus_error_init(&error);
  PrivateConnection connection(libdbus().dbus_connection_open_private(address.c_str(), &error));
  libdbus().dbus_error_free(&error);
  if (!connection) return nullptr;
  libdbus().dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
  Message hello(libdbus().dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                                       "Hello"));
  if (!hello || budget.remainingMillis() == 0) return nullptr;
  Message reply(libdbus().dbus_connection_send_with_reply_and_block(connection.get(), hello.get(),
                                                                    budget.remainingMillis(), &error));
  libdbus().dbus_error_free(&error);
  if (!reply) return nullptr;
  return connection;
}

std::optional<std::string> sessionBusAddress() {
  if (const char* address = environment("DBUS_SESSION_BUS_ADDRESS")) return address;
  const char* runtime = environment("XDG_RUNTIME_DIR");
  if (runtime == nullptr) return std::nullopt;
  const std::string path = std::string(runtime) + "/bus";
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return std::nullopt;
  std::unique_ptr<char, CFree> escaped(libdbus().dbus_address_escape_value(path.c_str()));
  if (!escaped) return std::nullopt;
  return "unix:path=" + std::string(escaped.get());
}

Message call(DBusConnection* bus, const char* destination, const char* path, const char* interface,
             const char* method, std::initializer_list<const char*> strings, const Budget& budget) {
  return callWith(bus, destination, path, interface, method, budget, [&](DBusMessageIter& args) {
    for (const char* value : strings) {
      if (!libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &value)) return false;
    }
    return true;
  });
}

bool isReply(const Message& reply) {
  return reply && libdbus().dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
}

bool replyArgument(const Message& reply, int type, DBusMessageIter& out) {
  DBusMessageIter args;
  if (!isReply(reply) || !libdbus().dbus_message_iter_init(reply.get(), &args)) return false;
  if (libdbus().dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_VARIANT) {
    libdbus().dbus_message_iter_recurse(&args, &out);
  } else {
    out = args;
  }
  return libdbus().dbus_message_iter_get_arg_type(&out) == type;
}

std::optional<std::string> replyText(const Message& reply, int type) {
  const std::optional<const char*> text = replyBasic<const char*>(reply, type);
  if (!text || *text == nullptr) return std::nullopt;
  return sanitizeUtf8(*text);
}

Message callWith(DBusConnection* bus, const char* destination, const char* path, const char* interface,
                 const char* method, const Budget& budget,
                 const std::function<bool(DBusMessageIter&)>& append) {
  Message ask(libdbus().dbus_message_new_method_call(destination, path, interface, method));
  if (!ask) return nullptr;
  DBusMessageIter args;
  libdbus().dbus_message_iter_init_append(ask.get(), &args);
  if (!append(args)) return nullptr;
  const int left = budget.remainingMillis();
  if (left == 0) return nullptr;
  DBusError error;
  libdbus().dbus_error_init(&error);
  Message reply(libdbus().dbus_connection_send_with_reply_and_block(bus, ask.get(), left, &error));
  libdbus().dbus_error_free(&error);
  return reply;
}

}  // namespace diruri::dbus
