// Where the X display says the accessibility bus is.
#pragma once

#include <optional>
#include <string>

namespace diruri {

// The AT_SPI_BUS property the bus launcher puts on the root window of `display`; none when the
// display cannot be reached or has none.
std::optional<std::string> x11AccessibilityBusAddress(const std::string& display);

}  // namespace diruri
