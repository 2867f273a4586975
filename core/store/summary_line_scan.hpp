// Reads the few members the summary needs from one log line without building the line's value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace diruri {

// The members of one line that the summary looks at, each only when it is a string:
// "type", "id", and "payload" -> "app" -> "appName" / "windowTitle".
struct SummaryLineFacts {
  std::optional<std::string> type;
  std::optional<std::string> id;
  std::optional<std::string> appName;
  std::optional<std::string> windowTitle;
};

// Fills `facts` from the line and returns true when the line is a JSON object that parseJson
// accepts (same strictness, same nesting limit, later duplicate keys win); false otherwise.
bool scanSummaryLine(std::string_view line, SummaryLineFacts& facts);

}  // namespace diruri
