// Connections to the X display: opened under one process-wide lock, with their screen's root
// window, and the replies XCB hands out owned.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace diruri {

// Held around every connect to the display: the X authority lookup that a connect makes writes
// a buffer shared by the whole process, so two threads connecting at once would corrupt it.
std::mutex& x11ConnectMutex();

// Owns what XCB allocated with malloc: replies, errors and events.
struct XcbFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// One connection to a display, disconnected when it goes. A failed connect still gives an object;
// ok() tells. Not thread-safe beyond what XCB itself offers.
class X11Connection {
 public:
  // The display named by `displayName`, or by $DISPLAY when it is null.
  explicit X11Connection(const char* displayName = nullptr);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  // Connected, and no error has broken the connection since (the server may have gone away).
  bool ok() const { return !xcb_connection_has_error(conn_); }
  xcb_connection_t* get() const { return conn_; }
  // The screen the display name chose; null when the connection failed or the server lacks it.
  const xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_ != nullptr ? screen_->root : xcb_window_t{XCB_WINDOW_NONE}; }

  // Whether the server offers the extension (answered from XCB's cache after the first ask).
  bool hasExtension(xcb_extension_t* extension) const;
  // Sends a request that needs a reply and waits for it: every request before it has been handled.
  void roundTrip() const;
  // Still connected: reads whatever the socket holds, without blocking, so that a server that has
  // gone away shows as an error. Costs one poll when nothing arrived.
  bool alive() const;

 private:
  xcb_connection_t* conn_ = nullptr;
  const xcb_screen_t* screen_ = nullptr;
};

}  // namespace diruri
