// Reading JSON-RPC requests and writing the answer records.
#include "core/mcp/json_rpc.hpp"

#include <utility>

namespace diruri {

namespace {

const JsonValue* presentMember(const JsonValue& object, std::string_view key) {
  const JsonValue* v = object.find(key);
  return (v && !v->isNull()) ? v : nullptr;
}

const std::string& requiredString(const JsonValue& object, std::string_view key) {
  if (const std::string* s = object.findString(key)) return *s;
  throw JsonRpcDecodeError("missing or mistyped member \"" + std::string(key) + "\"");
}

}  // namespace

JsonRpcId JsonRpcId::fromJson(const JsonValue& json) {
  if (json.isNumber()) {
    if (auto i = json.asIntegral()) return JsonRpcId{*i};
  } else if (json.isString()) {
    return JsonRpcId{json.asString()};
  }
  throw JsonRpcDecodeError("Expected string or integer JSON-RPC id");
}

JsonValue JsonRpcId::toJson() const {
  if (auto* s = std::get_if<std::string>(&value)) return JsonValue(*s);
  return JsonValue(static_cast<long long>(std::get<int64_t>(value)));
}

JsonRpcRequest JsonRpcRequest::fromJson(const JsonValue& json) {
  JsonValue copy = json;
  return fromJson(std::move(copy));
}

JsonRpcRequest JsonRpcRequest::fromJson(JsonValue&& json) {
  if (!json.isObject()) throw JsonRpcDecodeError("request is not an object");
  JsonRpcRequest request;
  request.jsonrpc = requiredString(json, "jsonrpc");
  if (const JsonValue* id = presentMember(json, "id")) request.id = JsonRpcId::fromJson(*id);
  request.method = requiredString(json, "method");
  JsonObject& members = json.asObject();
  if (auto params = members.find("params"); params != members.end() && !params->second.isNull()) {
    request.params = std::move(params->second);
  }
  return request;
}

JsonValue JsonRpcError::toJson() const {
  JsonObject out{{"code", JsonValue(static_cast<long long>(code))}, {"message", message}};
  if (data) out.emplace("data", *data);
  return out;
}

JsonValue JsonRpcResponse::toJson() const {
  JsonObject out{{"jsonrpc", jsonrpc}};
  if (id) out.emplace("id", id->toJson());
  if (result) out.emplace("result", *result);
  if (error) out.emplace("error", error->toJson());
  return out;
}

ResponseId ResponseId::from(const std::optional<JsonRpcId>& id) {
  if (!id) return ResponseId{};
  if (auto* s = std::get_if<std::string>(&id->value)) return ResponseId{*s};
  return ResponseId{std::get<int64_t>(id->value)};
}

JsonValue ResponseId::toJson() const {
  if (auto* s = std::get_if<std::string>(&value)) return JsonValue(*s);
  if (auto* i = std::get_if<int64_t>(&value)) return JsonValue(static_cast<long long>(*i));
  return JsonValue();
}

JsonValue InvalidRequestResponse::toJson() const {
  return JsonObject{{"jsonrpc", jsonrpc}, {"id", id.toJson()}, {"error", error.toJson()}};
}

JsonValue ParseErrorResponse::toJson() const {
  return JsonObject{{"jsonrpc", jsonrpc}, {"id", id}, {"error", error.toJson()}};
}

std::string encodeAnswer(const JsonValue& answer) {
  try {
    return writeJson(answer, JsonLayout::Compact);
  } catch (const JsonEncodeError&) {
    return std::string(kInternalErrorAnswer);
  }
}

}  // namespace diruri
