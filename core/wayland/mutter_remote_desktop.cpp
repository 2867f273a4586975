// GNOME's remote-desktop and screen-cast services, spoken to over the session bus.
#include "core/wayland/mutter_remote_desktop.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "core/dbus/dbus_calls.hpp"
#include "core/platform/sigpipe_guard.hpp"

namespace diruri {

using namespace dbus;

namespace {

constexpr char kRemoteDesktop[] = "org.gnome.Mutter.RemoteDesktop";
constexpr char kRemoteSession[] = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr char kScreenCast[] = "org.gnome.Mutter.ScreenCast";
constexpr char kCastSession[] = "org.gnome.Mutter.ScreenCast.Session";
constexpr char kCastStream[] = "org.gnome.Mutter.ScreenCast.Stream";
constexpr std::chrono::milliseconds kSetUpBudget{2000};
constexpr std::chrono::milliseconds kCallBudget{1000};
// The compositor makes its virtual keyboard and pointer at their first use, and what comes before
// the focused client has taken them up is dropped: each is used once (a Shift tapped, the pointer
// put in the middle), then the replay waits this long.
constexpr std::chrono::milliseconds kSettle{300};
constexpr dbus_uint32_t kShift = 0xffe1;

bool none(DBusMessageIter&) { return true; }

// An empty a{sv}, or one with a single string entry.
bool appendOptions(DBusMessageIter& args, const char* key = nullptr, const char* value = nullptr) {
  DBusMessageIter dict, entry, variant;
  if (!libdbus().dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &dict)) return false;
  if (key != nullptr) {
    if (!libdbus().dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) ||
        !libdbus().dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key) ||
        !libdbus().dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant) ||
        !libdbus().dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &value) ||
        !libdbus().dbus_message_iter_close_container(&entry, &variant) ||
        !libdbus().dbus_message_iter_close_container(&dict, &entry)) {
      return false;
    }
  }
  return libdbus().dbus_message_iter_close_container(&args, &dict);
}

// Two 32-bit integers in a struct, as the stream's position and size are.
bool pair(DBusMessageIter& value, int32_t& a, int32_t& b) {
  if (libdbus().dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_STRUCT) return false;
  DBusMessageIter field;
  libdbus().dbus_message_iter_recurse(&value, &field);
  if (libdbus().dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_INT32) return false;
  libdbus().dbus_message_iter_get_basic(&field, &a);
  if (!libdbus().dbus_message_iter_next(&field) ||
      libdbus().dbus_message_iter_get_arg_type(&field) != DBUS_TYPE_INT32)
    return false;
  libdbus().dbus_message_iter_get_basic(&field, &b);
  return true;
}

}  // namespace

struct MutterRemoteDesktopPoster::Session {
  PrivateConnection bus;
  std::string session;                          // the remote-desktop session's path
  std::string stream;                           // the screen-cast stream's path
  int32_t x = 0, y = 0, width = 0, height = 0;  // the monitor the stream shows
  std::set<int64_t> keysHeld;
  std::set<dbus_int32_t> buttonsHeld;  // Linux button codes

  // True when the compositor took the call.
  bool notify(const char* method, const Budget& budget, const std::function<bool(DBusMessageIter&)>& append) {
    return isReply(
        callWith(bus.get(), kRemoteDesktop, session.c_str(), kRemoteSession, method, budget, append));
  }

  // The stream's monitor, from its Parameters: {"position": (x, y), "size": (w, h), …}.
  bool readMonitor(const Budget& budget) {
    Message reply = call(bus.get(), kScreenCast, stream.c_str(), DBUS_INTERFACE_PROPERTIES, "Get",
                         {kCastStream, "Parameters"}, budget);
    DBusMessageIter dict, entry, value;
    if (!replyArgument(reply, DBUS_TYPE_ARRAY, dict)) return false;
    libdbus().dbus_message_iter_recurse(&dict, &entry);
    bool sized = false;
    for (; libdbus().dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY;
         libdbus().dbus_message_iter_next(&entry)) {
      DBusMessageIter item;
      libdbus().dbus_message_iter_recurse(&entry, &item);
      const char* key = nullptr;
      if (libdbus().dbus_message_iter_get_arg_type(&item) != DBUS_TYPE_STRING) continue;
      libdbus().dbus_message_iter_get_basic(&item, &key);
      if (key == nullptr || !libdbus().dbus_message_iter_next(&item) ||
          libdbus().dbus_message_iter_get_arg_type(&item) != DBUS_TYPE_VARIANT)
        continue;
      libdbus().dbus_message_iter_recurse(&item, &value);
      if (std::string_view(key) == "position") pair(value, x, y);
      if (std::string_view(key) == "size") sized = pair(value, width, height) && width > 0 && height > 0;
    }
    return sized;
  }
};

MutterRemoteDesktopPoster::MutterRemoteDesktopPoster() = default;

MutterRemoteDesktopPoster::~MutterRemoteDesktopPoster() { end(); }

bool MutterRemoteDesktopPoster::begin() {
  end();
  if (dbusApi() == nullptr) return false;
  SigpipeGuard guard;
  const Budget budget(kSetUpBudget);
  const std::optional<std::string> address = sessionBusAddress();
  if (!address) return false;
  auto s = std::make_unique<Session>();
  s->bus = connectTo(*address, budget);
  if (!s->bus) return false;
  DBusConnection* bus = s->bus.get();
  // A remote-desktop session, a screen-cast session tied to it, and a stream of the primary monitor.
  const std::optional<std::string> session =
      replyText(callWith(bus, kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop,
                         "CreateSession", budget, none),
                DBUS_TYPE_OBJECT_PATH);
  if (!session) return false;
  s->session = *session;
  const std::optional<std::string> id =
      replyText(call(bus, kRemoteDesktop, session->c_str(), DBUS_INTERFACE_PROPERTIES, "Get",
                     {kRemoteSession, "SessionId"}, budget),
                DBUS_TYPE_STRING);
  if (!id) return false;
  const std::optional<std::string> cast = replyText(
      callWith(bus, kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession", budget,
               [&](DBusMessageIter& args) {
                 return appendOptions(args, "remote-desktop-session-id", id->c_str());
               }),
      DBUS_TYPE_OBJECT_PATH);
  if (!cast) return false;
  const std::optional<std::string> stream = replyText(
      callWith(bus, kScreenCast, cast->c_str(), kCastSession, "RecordMonitor", budget,
               [](DBusMessageIter& args) {
                 const char* primary = "";
                 return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &primary) &&
                        appendOptions(args);
               }),
      DBUS_TYPE_OBJECT_PATH);
  if (!stream) return false;
  s->stream = *stream;
  if (!s->readMonitor(budget) || !s->notify("Start", budget, none)) return false;
  session_ = std::move(s);
  const double middleX = session_->x + session_->width / 2.0, middleY = session_->y + session_->height / 2.0;
  for (const dbus_bool_t state : {dbus_bool_t{TRUE}, dbus_bool_t{FALSE}}) {
    session_->notify("NotifyKeyboardKeysym", budget, [&](DBusMessageIter& args) {
      return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &kShift) &&
             libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_BOOLEAN, &state);
    });
  }
  const char* streamPath = session_->stream.c_str();
  session_->notify("NotifyPointerMotionAbsolute", budget, [&](DBusMessageIter& args) {
    const double sx = middleX - session_->x, sy = middleY - session_->y;
    return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &streamPath) &&
           libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_DOUBLE, &sx) &&
           libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_DOUBLE, &sy);
  });
  std::this_thread::sleep_for(kSettle);
  return true;
}

PostResult MutterRemoteDesktopPoster::postMove(double x, double y) {
  if (!session_) return PostResult::Unreachable;
  Session& s = *session_;
  const double sx = x - s.x, sy = y - s.y;
  if (!(sx >= 0 && sy >= 0 && sx < s.width && sy < s.height)) return PostResult::Inexpressible;
  SigpipeGuard guard;
  const char* stream = s.stream.c_str();
  const bool moved = s.notify("NotifyPointerMotionAbsolute", Budget(kCallBudget), [&](DBusMessageIter& args) {
    return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &stream) &&
           libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_DOUBLE, &sx) &&
           libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_DOUBLE, &sy);
  });
  return moved ? PostResult::Posted : PostResult::Unreachable;
}

PostResult MutterRemoteDesktopPoster::postMouse(double x, double y, bool down, int64_t button) {
  const dbus_int32_t code = static_cast<dbus_int32_t>(linuxButtonCode(button));
  if (code == 0) return PostResult::Inexpressible;
  const PostResult moved = postMove(x, y);
  if (moved != PostResult::Posted) return moved;
  Session& s = *session_;
  SigpipeGuard guard;
  const dbus_bool_t state = down;
  if (!s.notify("NotifyPointerButton", Budget(kCallBudget), [&](DBusMessageIter& args) {
        return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &code) &&
               libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_BOOLEAN, &state);
      })) {
    return PostResult::Unreachable;
  }
  if (down) {
    s.buttonsHeld.insert(code);
  } else {
    s.buttonsHeld.erase(code);
  }
  return PostResult::Posted;
}

PostResult MutterRemoteDesktopPoster::postKey(int64_t /*keyCode*/, std::optional<int64_t> keysym, bool down) {
  if (!session_) return PostResult::Unreachable;
  if (!keysym || *keysym <= 0 || *keysym > 0x1fffffff) return PostResult::Inexpressible;
  SigpipeGuard guard;
  const Budget budget(kCallBudget);
  const dbus_uint32_t sym = static_cast<dbus_uint32_t>(*keysym);
  const dbus_bool_t state = down;
  if (!session_->notify("NotifyKeyboardKeysym", budget, [&](DBusMessageIter& args) {
        return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &sym) &&
               libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_BOOLEAN, &state);
      })) {
    return PostResult::Unreachable;
  }
  if (down) {
    session_->keysHeld.insert(*keysym);
  } else {
    session_->keysHeld.erase(*keysym);
  }
  return PostResult::Posted;
}

PostResult MutterRemoteDesktopPoster::postScroll(int64_t amount, bool sideways) {
  if (!session_) return PostResult::Unreachable;
  if (amount < INT32_MIN + 1 || amount > INT32_MAX) return PostResult::Inexpressible;
  SigpipeGuard guard;
  const Budget budget(kCallBudget);
  const dbus_uint32_t vertical = sideways ? 1 : 0;                // the axis: 0 vertical, 1 horizontal
  const dbus_int32_t steps = static_cast<dbus_int32_t>(-amount);  // the compositor counts down as positive
  if (!session_->notify("NotifyPointerAxisDiscrete", budget, [&](DBusMessageIter& args) {
        return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &vertical) &&
               libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &steps);
      })) {
    return PostResult::Unreachable;
  }
  return PostResult::Posted;
}

void MutterRemoteDesktopPoster::sync() {
  if (!session_) return;
  SigpipeGuard guard;
  // A property read is answered from the compositor's main loop, after the calls before it.
  call(session_->bus.get(), kRemoteDesktop, session_->session.c_str(), DBUS_INTERFACE_PROPERTIES, "Get",
       {kRemoteSession, "CapsLockState"}, Budget(kCallBudget));
}

void MutterRemoteDesktopPoster::end() {
  if (!session_) return;
  {
    const std::set<int64_t> held = session_->keysHeld;
    for (const int64_t keysym : held) postKey(0, keysym, false);
    for (const dbus_int32_t button : session_->buttonsHeld) {
      SigpipeGuard guard;
      const dbus_bool_t up = FALSE;
      session_->notify("NotifyPointerButton", Budget(kCallBudget), [&](DBusMessageIter& args) {
        return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &button) &&
               libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_BOOLEAN, &up);
      });
    }
    SigpipeGuard guard;
    session_->notify("Stop", Budget(kCallBudget), none);
  }
  session_.reset();
}

}  // namespace diruri
