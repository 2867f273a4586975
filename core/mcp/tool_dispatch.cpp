// Tool calls: for now every named tool is answered as unsupported until the recorder is wired in.
#include "core/mcp/mcp_server.hpp"

namespace diruri {

JsonRpcResponse McpServer::handleToolCall(const JsonRpcRequest& request) {
  JsonRpcResponse r;
  r.id = request.id;
  const JsonValue* params = request.params ? &*request.params : nullptr;
  if (!params || !params->isObject() || params->asObject().empty() || !params->findString("name")) {
    r.error = JsonRpcError{-32602, "Invalid params"};
    return r;
  }
  r.result = toolContentResult(JsonObject{{"error", "unsupported_tool"}});
  return r;
}

}  // namespace diruri
