// Request checking and answering; tool calls are handed to the dispatch.
#include "core/mcp/mcp_server.hpp"

#include <cmath>
#include <cstdint>
#include <optional>

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
  return JsonObject{
      {"content", JsonArray{JsonObject{{"type", "text"}, {"text", std::move(text)}}}}};
}

}  // namespace

McpServer::McpServer() : tools_(makeToolCatalogue()) {
  JsonArray listed;
  listed.reserve(tools_.size());
  for (const ToolDefinition& tool : tools_) listed.push_back(tool.toJson());
  toolsListResultText_ = writeJson(JsonObject{{"tools", std::move(listed)}});
}

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
    request = JsonRpcRequest::fromJson(message);
  } catch (const JsonRpcDecodeError&) {
    return invalidRequest(idState.id);
  }
  if (request.method == "tools/list") return answer(request);
  return encodeAnswer(response(request).toJson());
}

std::string McpServer::answer(const JsonRpcRequest& request) const {
  // Same bytes as encoding the response record: its keys "id", "jsonrpc", "result" are in order.
  std::string text = "{\"id\":";
  try {
    text += writeJson(request.id->toJson());
  } catch (const JsonEncodeError&) {
    return std::string(kInternalErrorAnswer);
  }
  text += ",\"jsonrpc\":\"2.0\",\"result\":";
  text += toolsListResultText_;
  text += '}';
  return text;
}

JsonRpcResponse McpServer::response(const JsonRpcRequest& request) {
  if (request.method == "tools/call") return handleToolCall(request);

  JsonRpcResponse r;
  r.id = request.id;
  if (request.method == "initialize") {
    r.result = JsonObject{
        {"protocolVersion", "2024-11-05"},
        {"serverInfo", JsonObject{{"name", "rodave-zevedo-ziv-azizoz"}, {"version", DIRURI_VERSION}}},
        {"capabilities", JsonObject{{"tools", JsonObject{}}}},
    };
  } else if (request.method == "ping") {
    // MCP clients expect an empty result here and reject anything else.
    r.result = JsonObject{};
  } else {
    r.result = textContent(std::string(kSkeletonText) + request.method);
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
