// The "tools/call" request line and the payload of its answer, for the tests that speak MCP.
#pragma once

#include <optional>
#include <string>

#include "core/json/json_value.hpp"

namespace diruri::test {

// A "tools/call" request as one compact JSON line, without its line feed.
std::string toolCallLine(const std::string& name, const JsonObject& arguments = {}, int id = 1);

// The JSON that a tool result carries as the text of its one content item; nullopt for any other
// answer (an error, or a result of another shape). Throws JsonParseError when the answer is no JSON.
std::optional<JsonValue> toolPayload(const std::string& answer);

// An error answer with its reason taken out, for tests that check the error and not its wording;
// an error that gives no reason comes back marked "no reason: ", so that it does not pass.
std::string withoutReason(const std::string& answer);

}  // namespace diruri::test
