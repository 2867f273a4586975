// Tool calls: argument checks, the recorder operation behind each tool, and its tool content.
#include "core/mcp/mcp_server.hpp"
#include "core/platform/path.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

// A member of the arguments that is a JSON string; any other kind counts as missing.
std::optional<std::string> stringArgument(const JsonValue& arguments, std::string_view name) {
  const std::string* s = arguments.findString(name);
  return s ? std::optional<std::string>(*s) : std::nullopt;
}

}  // namespace

JsonRpcResponse McpServer::handleToolCall(const JsonRpcRequest& request) {
  JsonRpcResponse r;
  r.id = request.id;
  const auto invalidParams = [&r] {
    r.error = JsonRpcError{-32602, "Invalid params"};
    return r;
  };

  const JsonValue* params = request.params ? &*request.params : nullptr;
  if (!params || !params->isObject() || params->asObject().empty()) return invalidParams();
  const std::string* name = params->findString("name");
  if (!name) return invalidParams();
  static const JsonValue kNoArguments = JsonObject{};
  const JsonValue* given = params->find("arguments");
  const JsonValue& arguments = given && given->isObject() ? *given : kNoArguments;

  try {
    if (*name == "event_stream_start") {
      const auto workspacePath = stringArgument(arguments, "workspacePath");
      if (!workspacePath || isBlank(*workspacePath)) return invalidParams();
      r.result = toolContentResult(recorder_.start(*workspacePath, stringArgument(arguments, "sessionName")).toJson());
    } else if (*name == "event_stream_status") {
      r.result = toolContentResult(recorder_.status().toJson());
    } else if (*name == "permission_status") {
      r.result = toolContentResult(recorder_.permissions().toJson());
    } else if (*name == "event_stream_stop") {
      r.result = toolContentResult(recorder_
                                       .stop(stringArgument(arguments, "workspacePath"),
                                             stringArgument(arguments, "sessionId"))
                                       .toJson());
    } else if (*name == "replay_skill") {
      const auto workspacePath = stringArgument(arguments, "workspacePath");
      if (!workspacePath || isBlank(*workspacePath)) return invalidParams();
      const auto skillId = stringArgument(arguments, "skillId");
      // The skill id becomes a directory name twice over: one that is not a plain name would lead
      // the run directory and the reference path out of the workspace's own folder.
      if (!skillId || isBlank(*skillId) || !isPlainPathComponent(*skillId)) return invalidParams();
      r.result = toolContentResult(recorder_.replay(*workspacePath, *skillId).toJson());
    } else {
      r.result = toolContentResult(JsonObject{{"error", "unsupported_tool"}});
    }
  } catch (...) {
    // Every failure of a recorder operation becomes the one tool error; its text is not passed on.
    r.result.reset();
    r.error = JsonRpcError{-32000, "Internal error"};
  }
  return r;
}

}  // namespace diruri
