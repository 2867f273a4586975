// What the windowing system says about the accessibility bus, handed in by whoever chose it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace diruri {

// Where the windowing system says the accessibility bus is (on X11 the root window's AT_SPI_BUS
// property); none when it says nothing. Empty where there is nothing to ask. Asked after
// $AT_SPI_BUS_ADDRESS and before the session bus, as libatspi asks, so both find the same bus.
using DisplayBusAddress = std::function<std::optional<std::string>()>;

}  // namespace diruri
