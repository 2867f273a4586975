// Building tool calls and reading tool results.
#include "tests/support/tool_calls.hpp"

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

}  // namespace diruri::test
