// The accessibility bus as the focus queries and the watchers reach it: where the bus is, libatspi's
// time limit, and its signals. The calls themselves are core/dbus's.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>

#include "core/atspi/accessibility_bus_location.hpp"
#include "core/atspi/atspi_api.hpp"
#include "core/dbus/dbus_calls.hpp"

namespace diruri::atspi_bus {

// The loaded library; only reached once atspiApi() has been seen to be non-null.
inline const AtspiApi& api() { return *atspiApi(); }

// Gives the library's next calls what remains of the budget; false when nothing does.
bool arm(const dbus::Budget& budget);

// The accessibility bus in the order libatspi looks for it ($AT_SPI_BUS_ADDRESS, what the display
// says, the session bus's org.a11y.Bus), but only one that already runs.
std::optional<std::string> accessibilityBusAddress(const DisplayBusAddress& display,
                                                   const dbus::Budget& budget);

// The registry, which applications tell of the events listeners asked for.
inline constexpr char kRegistry[] = "org.a11y.atspi.Registry";

// Asks the bus for the signals matching `rules`, then the registry for `events`, which makes
// applications send them; false at the first that is refused.
bool listenFor(DBusConnection* bus, std::initializer_list<const char*> rules,
               std::initializer_list<const char*> events, const dbus::Budget& budget);

// An accessibility state-change signal: the state's name and whether it was gained.
struct StateChange {
  std::string state;
  bool gained = false;
};
std::optional<StateChange> stateChange(DBusMessage* signal);

}  // namespace diruri::atspi_bus
