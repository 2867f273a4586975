// Connections to the X display, and whether it can be reached and what it offers.
#include "core/x11/x11_connection.hpp"

#include <poll.h>
#include <xcb/record.h>

#include "core/platform/sigpipe_guard.hpp"

namespace diruri {

std::mutex& x11ConnectMutex() {
  static std::mutex mutex;
  return mutex;
}

X11Connection::X11Connection(const char* displayName) {
  int screenNumber = 0;
  {
    std::lock_guard<std::mutex> lock(x11ConnectMutex());
    conn_ = xcb_connect(displayName, &screenNumber);
  }
  if (xcb_connection_has_error(conn_)) return;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn_));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem > 0) screen_ = it.data;
}

// Also required for the error object xcb_connect returns on failure.
X11Connection::~X11Connection() { xcb_disconnect(conn_); }

bool X11Connection::hasExtension(xcb_extension_t* extension) const {
  if (!ok()) return false;
  const xcb_query_extension_reply_t* reply = xcb_get_extension_data(conn_, extension);
  return reply != nullptr && reply->present;
}

void X11Connection::roundTrip() const {
  std::free(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr));
}

bool X11Connection::alive() const {
  if (!ok()) return false;
  pollfd p{xcb_get_file_descriptor(conn_), POLLIN, 0};
  if (::poll(&p, 1, 0) > 0) {
    // Nothing was asked for on a probing connection, so what arrived is dropped; an end of
    // stream marks the connection broken.
    while (xcb_generic_event_t* event = xcb_poll_for_event(conn_)) std::free(event);
  }
  return ok();
}

}  // namespace diruri
