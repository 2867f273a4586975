// Bounded calls on private bus connections: what the accessibility queries and GNOME's remote
// desktop share.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "core/dbus/dbus_api.hpp"
#include "core/platform/deadline.hpp"

namespace diruri::dbus {

using SteadyClock = std::chrono::steady_clock;

// The loaded library; only reached once dbusApi() has been seen to be non-null.
inline const DbusApi& libdbus() { return *dbusApi(); }

struct MessageUnref {
  void operator()(DBusMessage* m) const { libdbus().dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

struct ConnectionClose {
  void operator()(DBusConnection* c) const {
    libdbus().dbus_connection_close(c);
    libdbus().dbus_connection_unref(c);
  }
};
using PrivateConnection = std::unique_ptr<DBusConnection, ConnectionClose>;

struct CFree {
  void operator()(void* p) const { std::free(p); }
};

// The time left for one query. Each call may wait only for what remains, so a peer that does not
// answer spends the budget once, not once per call.
class Budget {
 public:
  explicit Budget(std::chrono::milliseconds total) : deadline_(SteadyClock::now() + total) {}
  explicit Budget(SteadyClock::time_point deadline) : deadline_(deadline) {}

  int remainingMillis() const { return millisUntil(deadline_, 60000); }

 private:
  SteadyClock::time_point deadline_;
};

// A private connection (never autolaunched, never ending the process on disconnect) that has said
// Hello within the budget; null when the address is not a local socket or nothing answers.
PrivateConnection connectTo(const std::string& address, const Budget& budget);

// The session bus as libdbus would find it, without autolaunching one.
std::optional<std::string> sessionBusAddress();

// A method call whose arguments `append` adds (false: it could not), answered within the budget;
// null on any error. The reply may be an error message: see isReply.
Message callWith(DBusConnection* bus, const char* destination, const char* path, const char* interface,
                 const char* method, const Budget& budget,
                 const std::function<bool(DBusMessageIter&)>& append);

// The same with string arguments.
Message call(DBusConnection* bus, const char* destination, const char* path, const char* interface,
             const char* method, std::initializer_list<const char*> strings, const Budget& budget);

// Whether a call was answered with a return, not an error.
bool isReply(const Message& reply);

// The reply's first argument, itself or inside its variant, when it is of this type.
bool replyArgument(const Message& reply, int type, DBusMessageIter& out);

// That argument's value, for the fixed-size types.
template <typename T>
std::optional<T> replyBasic(const Message& reply, int type) {
  DBusMessageIter value;
  if (!replyArgument(reply, type, value)) return std::nullopt;
  T result{};
  libdbus().dbus_message_iter_get_basic(&value, &result);
  return result;
}

// That argument as text (a string or an object path), valid UTF-8.
std::optional<std::string> replyText(const Message& reply, int type = DBUS_TYPE_STRING);

}  // namespace diruri::dbus
