#include "core/x11/x11_accessibility_bus.hpp"

#include <xcb/xcb.h>

#include <cstdint>
#include <string_view>

#include "core/x11/x11_connection.hpp"

namespace diruri {

namespace {
constexpr uint32_t kMaxAddressLongs = 1024;
}  // namespace

std::optional<std::string> x11AccessibilityBusAddress(const std::string& display) {
  const X11Connection connection(display.c_str());
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

}  // namespace diruri
