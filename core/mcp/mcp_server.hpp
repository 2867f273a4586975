// The MCP server: turns one request line into at most one answer line.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/json/json_value.hpp"
#include "core/mcp/json_rpc.hpp"
#include "core/recorder/recorder_controller.hpp"

namespace diruri {

class DefaultGraph;

class McpServer {
 public:
  // Builds the real components (no file, display or thread is touched until the first tool call).
  McpServer();
  // Serves the given controller, which must outlive the server.
  explicit McpServer(RecorderController& recorder);
  ~McpServer();
  McpServer(const McpServer&) = delete;
  McpServer& operator=(const McpServer&) = delete;

  // The text of one answer without a line terminator, or "" when none is due (a notification).
  // Never throws for any input.
  std::string handleLine(std::string_view line);

  // Tool content: {"content":[{"type":"text","text":<payload>}]}.
  static JsonObject toolContentResult(const JsonValue& value);
  // The compact text of a tool's value, or {"error":"encoding_failed"} when it cannot be written.
  static std::string encodeToolPayload(const JsonValue& value);

 private:
  McpServer(std::unique_ptr<DefaultGraph> graph, RecorderController* recorder);
  // The answer to an accepted request.
  std::string answer(const JsonRpcRequest& request);
  // The answer carrying a result that is already written as text.
  static std::string resultAnswer(const JsonRpcId& id, std::string_view resultText);
  // The answer to tools/call: the tool's row in the table carries it out.
  JsonRpcResponse handleToolCall(const JsonRpcRequest& request);

  // Owned only when the server built its own components.
  std::unique_ptr<DefaultGraph> graph_;
  RecorderController& recorder_;
  // These results never change, so they are written once.
  std::string initializeResultText_;
  std::string toolsListResultText_;
};

}  // namespace diruri
