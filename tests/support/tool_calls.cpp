// Building tool calls and reading tool results.
#include "tests/support/tool_calls.hpp"

#include <regex>

namespace diruri::test {

std::string toolCallLine(const std::string& name, const JsonObject& arguments, int id) {
  return writeJson(JsonObject{{"jsonrpc", "2.0"},
                              {"id", id},
                              {"method", "tools/call"},
                              {"params", JsonObject{{"name", name}, {"arguments", arguments}}}});
}

std::optional<JsonValue> toolPayload(const std::string& answer) {
  const JsonValue parsed = parseJson(answer);
  const JsonObject* result = parsed.findObject("result");
  const JsonValue* content = result ? findMember(*result, "content") : nullptr;
  if (!content || !content->isArray() || content->asArray().size() != 1) return std::nullopt;
  const JsonValue& item = content->asArray()[0];
  const std::string* type = item.findString("type");
  const std::string* text = item.findString("text");
  if (!type || *type != "text" || !text) return std::nullopt;
  return parseJson(*text);
}

std::string withoutReason(const std::string& answer) {
  static const std::regex reason(R"re("data":\{"reason":"(?:[^"\\]|\\.)+"\},)re");
  std::string stripped = std::regex_replace(answer, reason, "", std::regex_constants::format_first_only);
  if (stripped == answer && answer.rfind(R"({"error":)", 0) == 0) return "no reason: " + answer;
  return stripped;
}

}  // namespace diruri::test
