// The roles of an application's focused window and element, as the AT-SPI accessibility bus reports
// them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace diruri {

// Each field is absent on its own: no accessibility bus, no application with the process id, no
// active window, no focused element, or any error or timeout on the way to it.
struct FocusedRoles {
  std::optional<std::string> windowRole;
  std::optional<std::string> elementRole;
  std::optional<std::string> elementName;

  bool operator==(const FocusedRoles&) const = default;
};

// Asks the accessibility bus about the application with a given process id: its active window's
// role name and its focused element's role name and name, untranslated.
//
// Nothing of AT-SPI is loaded or set up until the first query; without the library installed there
// are no roles. The bus is found where the library finds it (AT_SPI_BUS_ADDRESS, the root window's
// AT_SPI_BUS property, the session bus's org.a11y.Bus), but only when it already runs: no bus or
// daemon is ever started, and none means no roles. GLib's log output is silenced for the whole
// process when the library is first set up.
//
// One query takes at most about `budget`, a hung application included. Safe to call from several
// threads; the library's state is process-wide, so queries run one at a time.
class AtspiFocus {
 public:
  static constexpr std::chrono::milliseconds kDefaultBudget{400};

  // How the active window and the focused element are found. kCollection lets the application
  // search its own tree in one call where it offers the Collection interface (else it falls back
  // to kWalk); kWalk asks node by node, bounded in depth and count.
  enum class Search { kCollection, kWalk };

  explicit AtspiFocus(std::chrono::milliseconds budget = kDefaultBudget, Search search = Search::kCollection)
      : budget_(budget), search_(search) {}

  FocusedRoles query(int32_t processId) const;

 private:
  std::chrono::milliseconds budget_;
  Search search_;
};

}  // namespace diruri
