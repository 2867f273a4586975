// The front application of the X display, from the window manager's and the window's properties.
#include "core/x11/x11_front_window.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <xcb/res.h>
#include <xcb/xcb.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/platform/sigpipe_guard.hpp"
#include "core/text/unicode.hpp"
#include "core/x11/x11_connection.hpp"
#include "core/x11/x11_text.hpp"

namespace diruri {

namespace {

// The atoms the query needs, interned together when the connection opens.
#define DIRURI_FRONT_WINDOW_ATOMS(X)         \
  X(NetActiveWindow, "_NET_ACTIVE_WINDOW")   \
  X(NetWmPid, "_NET_WM_PID")                 \
  X(GtkApplicationId, "_GTK_APPLICATION_ID") \
  X(NetWmName, "_NET_WM_NAME")               \
  X(Utf8String, "UTF8_STRING")               \
  X(WmState, "WM_STATE")                     \
  X(CompoundText, "COMPOUND_TEXT")

enum Atom {
#define DIRURI_ATOM_ENUM(name, text) name,
  DIRURI_FRONT_WINDOW_ATOMS(DIRURI_ATOM_ENUM)
#undef DIRURI_ATOM_ENUM
      AtomCount
};
constexpr std::array<const char*, AtomCount> kAtomNames = {
#define DIRURI_ATOM_NAME(name, text) text,
    DIRURI_FRONT_WINDOW_ATOMS(DIRURI_ATOM_NAME)
#undef DIRURI_ATOM_NAME
};

// Longest property text read, in 32-bit units; a longer title is cut (and its cut end repaired).
constexpr uint32_t kMaxTextLongs = 4096;
// Deepest parent chain walked from the focus to its top-level window.
constexpr int kMaxDepth = 64;
constexpr uint8_t kBadWindow = 3;

std::string_view propertyBytes(const xcb_get_property_reply_t* r) {
  if (r == nullptr || r->type == XCB_ATOM_NONE || r->format != 8) return {};
  return {static_cast<const char*>(xcb_get_property_value(r)),
          static_cast<size_t>(xcb_get_property_value_length(r))};
}

bool hasProperty(const xcb_get_property_reply_t* r) { return r != nullptr && r->type != XCB_ATOM_NONE; }

std::optional<uint32_t> propertyCardinal(const xcb_get_property_reply_t* r) {
  if (r == nullptr || r->format != 32 || xcb_get_property_value_length(r) < 4) return std::nullopt;
  uint32_t v;
  std::memcpy(&v, xcb_get_property_value(r), sizeof v);
  return v;
}

// procfs is part of the platform query here, like the display: its files report no size, so it
// is read directly rather than through the store's file system.
std::optional<std::string> processName(uint32_t pid) {
  if (pid == 0) return std::nullopt;
  const std::string path = "/proc/" + std::to_string(pid) + "/comm";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[64];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  std::string name(buf, static_cast<size_t>(n));
  while (!name.empty() && name.back() == '\n') name.pop_back();
  if (name.empty()) return std::nullopt;
  return sanitizeUtf8(name);
}

std::optional<std::string> nonEmpty(std::string s) {
  if (s.empty()) return std::nullopt;
  return s;
}

}  // namespace

// The connection that asks which window is in front, with what it learnt last.
struct X11FrontWindow::FrontWindowQuery {
  X11Connection connection;
  xcb_connection_t* conn = connection.get();
  xcb_window_t root = connection.root();
  std::array<xcb_atom_t, AtomCount> atoms{};
  bool hasRes = false;
  // The last answer and the window it describes. The connection watches that window's property
  // and structure changes; any change, a move, its destruction or a reparenting drops the answer.
  xcb_window_t watched = XCB_WINDOW_NONE;
  std::optional<FrontWindow> cached;

  // What one round trip learns about a window.
  struct Window {
    bool gone = false;
    bool hasWmState = false;
    xcb_window_t parent = XCB_WINDOW_NONE;
    XcbReply<xcb_get_property_reply_t> pid, gtkAppId, wmClass, netWmName, wmName;
    std::optional<uint32_t> resPid;
    std::optional<WindowGeometry> geometry;  // in root coordinates
  };

  static std::unique_ptr<FrontWindowQuery> open() {
    auto d = std::make_unique<FrontWindowQuery>();
    if (!d->connection.ok() || d->root == XCB_WINDOW_NONE) return nullptr;

    std::array<xcb_intern_atom_cookie_t, AtomCount> cookies;
    for (size_t i = 0; i < AtomCount; ++i) {
      cookies[i] =
          xcb_intern_atom(d->conn, 0, static_cast<uint16_t>(std::strlen(kAtomNames[i])), kAtomNames[i]);
    }
    // Sent before the atom replies are read, so the extension query shares their round trip.
    xcb_prefetch_extension_data(d->conn, &xcb_res_id);
    for (size_t i = 0; i < AtomCount; ++i) {
      XcbReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(d->conn, cookies[i], nullptr));
      if (!r) return nullptr;
      d->atoms[i] = r->atom;
    }
    d->hasRes = d->connection.hasExtension(&xcb_res_id);
    return d;
  }

  // The requests about one window, sent but not yet answered.
  struct Asked {
    xcb_window_t window;
    xcb_get_property_cookie_t pid, gtkAppId, wmClass, netWmName, wmName, wmState;
    xcb_query_tree_cookie_t tree;
    xcb_res_query_client_ids_cookie_t res;
    xcb_get_geometry_cookie_t size;
    xcb_translate_coordinates_cookie_t place;
  };

  Asked ask(xcb_window_t w) {
    auto text = [&](xcb_atom_t property) {
      return xcb_get_property(conn, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxTextLongs);
    };
    Asked a{};
    a.window = w;
    a.pid = xcb_get_property(conn, 0, w, atoms[NetWmPid], XCB_ATOM_CARDINAL, 0, 1);
    a.gtkAppId = text(atoms[GtkApplicationId]);
    a.wmClass = text(XCB_ATOM_WM_CLASS);
    a.netWmName = text(atoms[NetWmName]);
    a.wmName = text(XCB_ATOM_WM_NAME);
    // Whether it is a top-level client window, for the walk up from the focus.
    a.wmState = xcb_get_property(conn, 0, w, atoms[WmState], XCB_GET_PROPERTY_TYPE_ANY, 0, 0);
    a.tree = xcb_query_tree(conn, w);
    // Where it lies: its size, and its origin translated to the root (a window manager's frame
    // puts it at an offset inside its parent).
    a.size = xcb_get_geometry(conn, w);
    a.place = xcb_translate_coordinates(conn, w, root, 0, 0);
    if (hasRes) {
      const xcb_res_client_id_spec_t owner{w, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
      a.res = xcb_res_query_client_ids(conn, 1, &owner);
    }
    return a;
  }

  // Every request asked is answered here, so no reply is left behind in the connection.
  Window collect(const Asked& a) {
    Window out;
    xcb_generic_error_t* error = nullptr;
    out.pid.reset(xcb_get_property_reply(conn, a.pid, &error));
    if (error != nullptr) {
      out.gone = error->error_code == kBadWindow;
      std::free(error);
    }
    out.gtkAppId.reset(xcb_get_property_reply(conn, a.gtkAppId, nullptr));
    out.wmClass.reset(xcb_get_property_reply(conn, a.wmClass, nullptr));
    out.netWmName.reset(xcb_get_property_reply(conn, a.netWmName, nullptr));
    out.wmName.reset(xcb_get_property_reply(conn, a.wmName, nullptr));
    XcbReply<xcb_get_property_reply_t> state(xcb_get_property_reply(conn, a.wmState, nullptr));
    out.hasWmState = hasProperty(state.get());
    XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(conn, a.tree, nullptr));
    if (tree) out.parent = tree->parent;
    XcbReply<xcb_get_geometry_reply_t> size(xcb_get_geometry_reply(conn, a.size, nullptr));
    XcbReply<xcb_translate_coordinates_reply_t> place(
        xcb_translate_coordinates_reply(conn, a.place, nullptr));
    if (size && place) out.geometry = WindowGeometry{place->dst_x, place->dst_y, size->width, size->height};
    if (hasRes) {
      XcbReply<xcb_res_query_client_ids_reply_t> ids(xcb_res_query_client_ids_reply(conn, a.res, nullptr));
      if (ids) {
        for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
             xcb_res_client_id_value_next(&it)) {
          if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
              xcb_res_client_id_value_value_length(it.data) >= 1) {
            out.resPid = *xcb_res_client_id_value_value(it.data);
          }
        }
      }
    }
    return out;
  }

  // A top-level client window: the one a window manager marked with WM_STATE or, without one,
  // a child of the root.
  bool isTopLevel(const Window& info) const {
    return info.hasWmState || info.parent == root || info.parent == XCB_WINDOW_NONE;
  }

  std::string propertyText(const xcb_get_property_reply_t* r, std::string_view bytes) const {
    if (r->type == XCB_ATOM_STRING) return utf8FromLatin1(bytes);
    if (r->type == atoms[CompoundText]) return utf8FromCompoundText(bytes);
    return sanitizeUtf8(bytes);
  }

  ForegroundAppSnapshot snapshotOf(const Window& w) const {
    ForegroundAppSnapshot s;
    uint32_t pid = propertyCardinal(w.pid.get()).value_or(w.resPid.value_or(0));
    s.processId = static_cast<int32_t>(pid);

    // WM_CLASS holds the instance name and the class name, each ended by a NUL.
    std::optional<std::string> className;
    const std::string_view cls = propertyBytes(w.wmClass.get());
    if (const size_t first = cls.find('\0'); first != std::string_view::npos) {
      std::string_view rest = cls.substr(first + 1);
      rest = rest.substr(0, rest.find('\0'));
      className = nonEmpty(propertyText(w.wmClass.get(), rest));
    }
    std::optional<std::string> appId;
    if (hasProperty(w.gtkAppId.get())) appId = nonEmpty(sanitizeUtf8(propertyBytes(w.gtkAppId.get())));

    s.applicationId = appId ? appId : className;
    if (className) {
      s.appName = *className;
    } else if (auto comm = processName(pid)) {
      s.appName = *comm;
    } else if (s.applicationId) {
      s.appName = *s.applicationId;
    } else {
      s.appName = "Unknown";
    }

    if (hasProperty(w.netWmName.get())) {
      s.windowTitle = sanitizeUtf8(propertyBytes(w.netWmName.get()));
    } else if (hasProperty(w.wmName.get())) {
      s.windowTitle = propertyText(w.wmName.get(), propertyBytes(w.wmName.get()));
    }
    return s;
  }

  // Moves the watch to `w`. Sent ahead of the requests that read `w`, so any change the server
  // makes after reading it arrives as an event.
  void watch(xcb_window_t w) {
    if (w == watched) return;
    cached.reset();
    const uint32_t none = 0;
    const uint32_t changes = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    // Unchecked: a window that is gone answers with an error event, dropped below.
    if (watched != XCB_WINDOW_NONE) xcb_change_window_attributes(conn, watched, XCB_CW_EVENT_MASK, &none);
    xcb_change_window_attributes(conn, w, XCB_CW_EVENT_MASK, &changes);
    watched = w;
  }

  // The server sends events and replies in one ordered stream, so once a reply has been read,
  // every event the server generated before answering is queued here: no change is missed.
  void dropChangedAnswer() {
    while (xcb_generic_event_t* e = xcb_poll_for_queued_event(conn)) {
      xcb_window_t about = XCB_WINDOW_NONE;
      switch (e->response_type & 0x7f) {
        case XCB_PROPERTY_NOTIFY:
          about = reinterpret_cast<xcb_property_notify_event_t*>(e)->window;
          break;
        case XCB_DESTROY_NOTIFY:
          about = reinterpret_cast<xcb_destroy_notify_event_t*>(e)->window;
          break;
        case XCB_REPARENT_NOTIFY:
          about = reinterpret_cast<xcb_reparent_notify_event_t*>(e)->window;
          break;
        case XCB_CONFIGURE_NOTIFY:  // moved or resized, by the window manager too (ICCCM)
          about = reinterpret_cast<xcb_configure_notify_event_t*>(e)->window;
          break;
        default:
          break;  // other structure changes, and errors of the unchecked requests
      }
      if (about == watched) cached.reset();
      std::free(e);
    }
  }

  std::optional<FrontWindow> answer(xcb_window_t w, const Window& info) {
    FrontWindow front{snapshotOf(info), info.geometry};
    if (w == watched) cached = front;
    return front;
  }

  // Reads `w` with a watch on it, in one round trip.
  Window readWatched(xcb_window_t w) {
    watch(w);
    const Asked asked = ask(w);
    Window info = collect(asked);
    dropChangedAnswer();
    return info;
  }

  // Without a usable _NET_ACTIVE_WINDOW: the focus, walked up to its top-level window, one
  // round trip per level.
  std::optional<FrontWindow> fromFocus(xcb_window_t w) {
    for (int depth = 0; depth < kMaxDepth; ++depth) {
      if (w == XCB_WINDOW_NONE || w == XCB_INPUT_FOCUS_POINTER_ROOT || w == root) return std::nullopt;
      const Window info = readWatched(w);
      if (info.gone) return std::nullopt;
      if (isTopLevel(info)) return answer(w, info);
      w = info.parent;
    }
    return std::nullopt;
  }

  // One round trip (the active window and the focus) while the front window and its properties
  // stay as they were; one more when they changed, and one per level when the focus has to be
  // walked up to its top-level window.
  std::optional<FrontWindow> front() {
    const auto activeC = xcb_get_property(conn, 0, root, atoms[NetActiveWindow], XCB_ATOM_WINDOW, 0, 1);
    const auto focusC = xcb_get_input_focus(conn);
    XcbReply<xcb_get_property_reply_t> active(xcb_get_property_reply(conn, activeC, nullptr));
    XcbReply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(conn, focusC, nullptr));
    dropChangedAnswer();
    if (!focus) return std::nullopt;

    const xcb_window_t activeWindow = propertyCardinal(active.get()).value_or(XCB_WINDOW_NONE);
    if (activeWindow != XCB_WINDOW_NONE) {
      if (activeWindow == watched && cached) return cached;
      const Window info = readWatched(activeWindow);
      if (!info.gone) return answer(activeWindow, info);
      // A window manager that exited leaves the name of a window that no longer exists.
    }
    // A cached answer for the focus is one for a top-level window: a reparenting would have
    // dropped it.
    if (focus->focus == watched && cached) return cached;
    return fromFocus(focus->focus);
  }
};

X11FrontWindow::X11FrontWindow() = default;
X11FrontWindow::~X11FrontWindow() = default;

std::optional<FrontWindow> X11FrontWindow::frontWindow() {
  std::lock_guard<std::mutex> lock(mutex_);
  SigpipeGuard guard;
  if (!query_) query_ = FrontWindowQuery::open();
  if (!query_) return std::nullopt;
  std::optional<FrontWindow> front = query_->front();
  if (!query_->connection.ok()) {
    query_.reset();  // the server went away: answer "none" and connect afresh next time
    return std::nullopt;
  }
  return front;
}

}  // namespace diruri
