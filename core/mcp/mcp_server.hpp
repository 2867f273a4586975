// The MCP server: turns one request line into at most one answer line.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/mcp/background_replay.hpp"
#include "core/mcp/json_rpc.hpp"
#include "core/mcp/tool_table.hpp"

namespace diruri {

class DefaultGraph;

class McpServer {
 public:
  // Builds the real components (no file, display or thread is touched until the first tool call).
  McpServer();
  // Serves the given parts, which must outlive the server.
  explicit McpServer(ToolServices services);
  ~McpServer();
  McpServer(const McpServer&) = delete;
  McpServer& operator=(const McpServer&) = delete;

  // The text of one answer without a line terminator, or "" when none is due now (a
  // notification, or a call answered in the background). Never throws for any input.
  std::string handleLine(std::string_view line);

  // One line to the client (an answer or a notification), without its line terminator. Called
  // from any thread; each call must reach the client whole.
  using Output = std::function<void(std::string line)>;
  // From now on a replay runs in the background while lines go on being handled: its answer, and
  // its progress when the client asked for it, go out through `output` when they are due. Without
  // this, a replay is answered when it has ended, by handleLine.
  void answerInBackground(Output output);
  // Stops a replay that runs in the background and waits until it has ended and been answered.
  void finishBackgroundWork();

  // Tool content: {"content":[{"type":"text","text":<payload>}]}, and "isError":true when the
  // payload is an object with an "error" member.
  static JsonObject toolContentResult(const JsonValue& value);
  // The compact text of a tool's value, or {"error":"encoding_failed"} when it cannot be written.
  static std::string encodeToolPayload(const JsonValue& value);

 private:
  McpServer(std::unique_ptr<DefaultGraph> graph, std::optional<ToolServices> services);
  // The answer to an accepted request.
  std::string answer(const JsonRpcRequest& request);
  // The answer to initialize, in the revision the client asked for when this server speaks it.
  std::string initializeAnswer(const JsonRpcRequest& request);
  // The answer carrying a result that is already written as text.
  static std::string resultAnswer(const JsonRpcId& id, std::string_view resultText);
  // The answer to tools/call: the tool's row in the table carries it out. None when the call is
  // answered later, through the output.
  std::optional<JsonRpcResponse> handleToolCall(const JsonRpcRequest& request, bool modern);
  // The answer to a call, from its payload or from what it failed with.
  // A failure is an error answer for clients of the first revision and a tool result that says why
  // (isError) for later ones.
  JsonRpcResponse toolAnswer(const JsonRpcId& id, std::optional<JsonValue> payload,
                             std::exception_ptr failure, bool modern, bool errorsAsResults);
  // Whether this request's revision (its own, or the one initialize agreed) answers failed calls
  // as tool results.
  bool toolErrorsAsResults(bool modern) const;
  // Sends notifications/progress for the request that carried `token`.
  std::function<void(size_t done, size_t total)> progressReporter(const JsonValue& token);
  // What a notification asks for: only a cancelled replay is acted on.
  void handleNotification(const JsonValue& message);

  // Owned only when the server built its own components.
  std::unique_ptr<DefaultGraph> graph_;
  ToolServices services_;
  // These results never change, so they are written once.
  std::vector<std::pair<std::string_view, std::string>> initializeResultTexts_;  // newest revision first
  std::string toolsListResultText_;
  std::string modernToolsListResultText_;
  std::string discoverResultText_;
  // The revision the last initialize agreed on; none before one (main thread only).
  std::string_view negotiated_;
  Output output_;
  // Declared last, so its replay is stopped while everything it reports through still exists.
  std::unique_ptr<BackgroundReplay> background_;
};

}  // namespace diruri
