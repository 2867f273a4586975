// Whether the X display named by $DISPLAY can be reached, and what it offers.
#include "core/capture/x11/x11_display.hpp"

#include <xcb/record.h>
#include <xcb/xcb.h>

#include "core/capture/x11/sigpipe_guard.hpp"

namespace diruri {

namespace {

}  // namespace

std::mutex& x11ConnectMutex() {
  static std::mutex mutex;
  return mutex;
}

namespace {

template <typename Check>
bool withDisplay(Check check) {
  SigpipeGuard guard;
  xcb_connection_t* c;
  {
    std::lock_guard<std::mutex> lock(x11ConnectMutex());
    c = xcb_connect(nullptr, nullptr);
  }
  const bool ok = !xcb_connection_has_error(c) && check(c);
  xcb_disconnect(c);  // also required for the error object xcb_connect returns on failure
  return ok;
}

}  // namespace

bool x11DisplayReachable() {
  return withDisplay([](xcb_connection_t*) { return true; });
}

bool x11DisplayOffersRecord() {
  return withDisplay([](xcb_connection_t* c) {
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_record_id);
    return ext != nullptr && ext->present;
  });
}

}  // namespace diruri
