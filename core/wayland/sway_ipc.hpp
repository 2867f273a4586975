// The front window of a wlroots compositor that speaks the sway IPC (sway and its relatives), asked
// over the socket named by $SWAYSOCK.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/json/json_value.hpp"
#include "core/records/front_app.hpp"

namespace diruri {

// The focused window of a `get_tree` answer: its app_id (an Xwayland window's class instead) as
// bundle id and name, its process id and title, and where its surface lies on the screen (the
// node's rect moved by its window_rect, without borders and title bar). None when no window
// has the focus (an empty workspace) or the tree is not one.
std::optional<FrontWindow> focusedWindowOf(const JsonValue& tree);

// The compositor's whole tree (outputs, workspaces, windows), asked at `socketPath` (by default
// $SWAYSOCK) within `budget`; none when there is no such socket or nothing answers in time.
std::optional<JsonValue> swayTree(std::chrono::milliseconds budget,
                                  std::optional<std::string> socketPath = std::nullopt);

// Its focused window, the same way; none also when no window has the focus.
std::optional<FrontWindow> swayFrontWindow(std::chrono::milliseconds budget = std::chrono::milliseconds(400),
                                           std::optional<std::string> socketPath = std::nullopt);

}  // namespace diruri
