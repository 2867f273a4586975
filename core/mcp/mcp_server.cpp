// Request checking and answering; tool calls are handed to the dispatch.
#include "core/mcp/mcp_server.hpp"

#include "core/mcp/default_graph.hpp"
#include "core/mcp/tool_table.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

namespace diruri {

namespace {

constexpr std::string_view kSkeletonText = "Record and replay helper skeleton received method: ";

struct RequestIdState {
  enum class Kind { Absent, Valid, Invalid } kind;
  std::optional<JsonRpcId> id;
};

RequestIdState decodeId(const JsonValue* raw) {
  if (!raw) return {RequestIdState::Kind::Absent, std::nullopt};
  if (raw->isString()) return {RequestIdState::Kind::Valid, JsonRpcId{raw->asString()}};
  if (raw->isNumber()) {
    if (auto i = raw->asIntegral()) return {RequestIdState::Kind::Valid, JsonRpcId{*i}};
    // A whole number beyond the 64-bit range still passes this check; it carries the nearest
    // 64-bit value, and the request reading that follows rejects it, so the line is answered
    // with an Invalid Request carrying that saturated id.
    const double d = raw->asDouble();
    if (std::isfinite(d) && std::trunc(d) == d) {
      return {RequestIdState::Kind::Valid, JsonRpcId{d < 0 ? INT64_MIN : INT64_MAX}};
    }
  }
  return {RequestIdState::Kind::Invalid, std::nullopt};
}

std::string invalidRequest(const std::optional<JsonRpcId>& id) {
  InvalidRequestResponse r;
  r.id = ResponseId::from(id);
  return encodeAnswer(r.toJson());
}

JsonObject textContent(std::string text) {
  return JsonObject{{"content", JsonArray{JsonObject{{"type", "text"}, {"text", std::move(text)}}}}};
}

JsonObject initializeResult() {
  return JsonObject{
      {"protocolVersion", "2024-11-05"},
      {"serverInfo", JsonObject{{"name", "rodave-zevedo-ziv-azizoz"}, {"version", DIRURI_VERSION}}},
      {"capabilities", JsonObject{{"tools", JsonObject{}}}},
  };
}

JsonObject toolsListResult() {
  JsonArray listed;
  listed.reserve(toolTable().size());
  for (const ToolDefinition& tool : toolTable()) listed.push_back(tool.toJson());
  return JsonObject{{"tools", std::move(listed)}};
}

}  // namespace

McpServer::McpServer() : McpServer(std::make_unique<DefaultGraph>(), nullptr) {}

McpServer::McpServer(RecorderController& recorder) : McpServer(nullptr, &recorder) {}

McpServer::McpServer(std::unique_ptr<DefaultGraph> graph, RecorderController* recorder)
    : graph_(std::move(graph)),
      recorder_(recorder ? *recorder : graph_->recorder()),
      initializeResultText_(writeJson(initializeResult())),
      toolsListResultText_(writeJson(toolsListResult())) {}

McpServer::~McpServer() = default;

std::string McpServer::handleLine(std::string_view line) {
  JsonValue message;
  try {
    message = parseJson(line);
  } catch (const JsonParseError&) {
    return encodeAnswer(ParseErrorResponse{}.toJson());
  }
  if (!message.isObject()) return encodeAnswer(ParseErrorResponse{}.toJson());

  const RequestIdState idState = decodeId(message.find("id"));
  if (idState.kind == RequestIdState::Kind::Invalid) return invalidRequest(std::nullopt);
  if (message.asObject().empty()) return invalidRequest(idState.id);
  const std::string* jsonrpc = message.findString("jsonrpc");
  if (!jsonrpc || *jsonrpc != "2.0") return invalidRequest(idState.id);
  const std::string* method = message.findString("method");
  if (!method || method->empty()) return invalidRequest(idState.id);
  if (idState.kind == RequestIdState::Kind::Absent) return {};

  JsonRpcRequest request;
  try {
    request = JsonRpcRequest::fromJson(std::move(message));
  } catch (const JsonRpcDecodeError&) {
    return invalidRequest(idState.id);
  }
  return answer(request);
}

std::string McpServer::answer(const JsonRpcRequest& request) {
  const std::string& method = request.method;
  if (method == "tools/call") return encodeAnswer(handleToolCall(request).toJson());
  if (method == "initialize") return resultAnswer(*request.id, initializeResultText_);
  if (method == "tools/list") return resultAnswer(*request.id, toolsListResultText_);
  // MCP clients expect an empty result here and reject anything else.
  if (method == "ping") return resultAnswer(*request.id, "{}");
  try {
    return resultAnswer(*request.id, writeJson(textContent(std::string(kSkeletonText) + method)));
  } catch (const JsonEncodeError&) {
    return std::string(kInternalErrorAnswer);
  }
}

std::string McpServer::resultAnswer(const JsonRpcId& id, std::string_view resultText) {
  // The same bytes as writing a JsonRpcResponse with this result, whose keys "id", "jsonrpc" and
  // "result" are already in order, without building the result again for every request.
  std::string text;
  text.reserve(resultText.size() + 64);  // room for the id and the line feed the loop adds
  text += "{\"id\":";
  try {
    text += writeJson(id.toJson());
  } catch (const JsonEncodeError&) {
    return std::string(kInternalErrorAnswer);
  }
  text += ",\"jsonrpc\":\"2.0\",\"result\":";
  text += resultText;
  text += '}';
  return text;
}

JsonRpcResponse McpServer::handleToolCall(const JsonRpcRequest& request) {
  JsonRpcResponse r;
  r.id = request.id;
  const JsonValue* params = request.params ? &*request.params : nullptr;
  const std::string* name = params && params->isObject() ? params->findString("name") : nullptr;
  if (!name) {
    r.error = JsonRpcError{-32602, "Invalid params"};
    return r;
  }
  static const JsonValue kNoArguments = JsonObject{};
  const JsonValue* given = params->find("arguments");
  const JsonValue& arguments = given && given->isObject() ? *given : kNoArguments;

  const ToolDefinition* tool = findTool(*name);
  if (!tool || !tool->handler) {
    r.result = toolContentResult(JsonObject{{"error", "unsupported_tool"}});
    return r;
  }
  try {
    r.result = toolContentResult(tool->handler(recorder_, arguments));
  } catch (const InvalidToolArguments&) {
    r.error = JsonRpcError{-32602, "Invalid params"};
  } catch (...) {
    // Every failure of a recorder operation becomes the one tool error; its text is not passed on.
    r.error = JsonRpcError{-32000, "Internal error"};
  }
  return r;
}

JsonObject McpServer::toolContentResult(const JsonValue& value) {
  return textContent(encodeToolPayload(value));
}

std::string McpServer::encodeToolPayload(const JsonValue& value) {
  try {
    return writeJson(value, JsonLayout::Compact);
  } catch (const JsonEncodeError&) {
    return R"({"error":"encoding_failed"})";
  }
}

}  // namespace diruri
