// Request checking and answering; tool calls are handed to the dispatch.
#include "core/mcp/mcp_server.hpp"

#include "core/mcp/default_graph.hpp"
#include "core/mcp/tool_table.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

namespace diruri {

namespace {

// The revisions this server speaks. The legacy ones open with an initialize handshake; the modern
// one carries its version and the client's capabilities in each request's _meta instead.
constexpr std::string_view kModernVersion = "2026-07-28";
constexpr std::string_view kLegacyVersions[] = {"2025-11-25", "2025-06-18", "2024-11-05"};  // newest first
constexpr std::string_view kProtocolVersionKey = "io.modelcontextprotocol/protocolVersion";
constexpr std::string_view kClientCapabilitiesKey = "io.modelcontextprotocol/clientCapabilities";
constexpr std::string_view kServerInfoKey = "io.modelcontextprotocol/serverInfo";
// How long a client may keep a list: nothing the server lists changes while it runs.
constexpr int64_t kListTtlMs = 3600000;
// Progress notifications of one request come at most this often.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

bool isLegacyVersion(std::string_view version) {
  for (std::string_view v : kLegacyVersions) {
    if (v == version) return true;
  }
  return false;
}

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

JsonObject serverInfo() {
  return JsonObject{{"name", "rodave-zevedo-ziv-azizoz"}, {"version", DIRURI_VERSION}};
}

JsonObject capabilities() { return JsonObject{{"tools", JsonObject{}}}; }

JsonObject initializeResult(std::string_view version) {
  return JsonObject{
      {"protocolVersion", version}, {"serverInfo", serverInfo()}, {"capabilities", capabilities()}};
}

JsonArray supportedVersions() {
  JsonArray versions{JsonValue(kModernVersion)};
  for (std::string_view v : kLegacyVersions) versions.emplace_back(v);
  return versions;
}

// What every result of the modern revision carries: its type, and who answered.
JsonObject modern(JsonObject result) {
  result.emplace("resultType", "complete");
  result.emplace("_meta", JsonObject{{std::string(kServerInfoKey), serverInfo()}});
  return result;
}

// A list result of the modern revision also says how long it may be kept.
JsonObject modernList(JsonObject result) {
  result.emplace("ttlMs", JsonValue(static_cast<long long>(kListTtlMs)));
  result.emplace("cacheScope", "public");
  return modern(std::move(result));
}

JsonObject toolsListResult() {
  JsonArray listed;
  listed.reserve(toolTable().size());
  for (const ToolDefinition& tool : toolTable()) listed.push_back(tool.toJson());
  return JsonObject{{"tools", std::move(listed)}};
}

JsonObject discoverResult() {
  return modernList(JsonObject{{"supportedVersions", supportedVersions()},
                               {"capabilities", capabilities()},
                               {"serverInfo", serverInfo()}});
}

// The lists of features this server does not offer: clients ask for them whatever it advertises.
std::optional<JsonObject> emptyList(std::string_view method) {
  if (method == "resources/list") return JsonObject{{"resources", JsonArray{}}};
  if (method == "resources/templates/list") return JsonObject{{"resourceTemplates", JsonArray{}}};
  if (method == "prompts/list") return JsonObject{{"prompts", JsonArray{}}};
  return std::nullopt;
}

std::string errorAnswer(const JsonRpcId& id, int64_t code, std::string message,
                        std::optional<JsonValue> data = std::nullopt) {
  JsonRpcResponse r;
  r.id = id;
  r.error = JsonRpcError{code, std::move(message), std::move(data)};
  return encodeAnswer(r.toJson());
}

JsonValue reasonData(std::string reason) { return JsonObject{{"reason", std::move(reason)}}; }

}  // namespace

McpServer::McpServer() : McpServer(std::make_unique<DefaultGraph>(), std::nullopt) {}

McpServer::McpServer(ToolServices services) : McpServer(nullptr, services) {}

McpServer::McpServer(std::unique_ptr<DefaultGraph> graph, std::optional<ToolServices> services)
    : graph_(std::move(graph)),
      services_(services ? *services : graph_->services()),
      toolsListResultText_(writeJson(toolsListResult())),
      modernToolsListResultText_(writeJson(modernList(toolsListResult()))),
      discoverResultText_(writeJson(discoverResult())) {
  for (std::string_view version : kLegacyVersions) {
    initializeResultTexts_.emplace_back(version, writeJson(initializeResult(version)));
  }
}

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
  if (idState.kind == RequestIdState::Kind::Absent) {
    handleNotification(message);
    return {};
  }

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
  const JsonRpcId& id = *request.id;
  if (method == "initialize") return initializeAnswer(request);

  // The revision this request speaks: the modern one names itself in _meta; anything else is a
  // client of the initialize handshake, served as before.
  const JsonObject* meta =
      request.params && request.params->isObject() ? request.params->findObject("_meta") : nullptr;
  const JsonValue* version = meta ? findMember(*meta, kProtocolVersionKey) : nullptr;
  bool isModern = false;
  if (version) {
    if (!version->isString()) {
      return errorAnswer(
          id, -32602, "Invalid params",
          reasonData("The _meta member " + std::string(kProtocolVersionKey) + " must be a string."));
    }
    isModern = version->asString() == kModernVersion;
    if (!isModern && !isLegacyVersion(version->asString())) {
      return errorAnswer(id, -32022, "Unsupported protocol version",
                         JsonObject{{"supported", supportedVersions()}, {"requested", version->asString()}});
    }
    if (isModern && !findObjectMember(*meta, kClientCapabilitiesKey)) {
      return errorAnswer(
          id, -32602, "Invalid params",
          reasonData("The _meta member " + std::string(kClientCapabilitiesKey) + " is required."));
    }
  }

  if (method == "tools/call") {
    std::optional<JsonRpcResponse> response = handleToolCall(request, isModern);
    return response ? encodeAnswer(response->toJson()) : std::string();
  }
  if (method == "tools/list")
    return resultAnswer(id, isModern ? modernToolsListResultText_ : toolsListResultText_);
  // Discovery describes the server whichever revision asks, so a client can probe with it alone.
  if (method == "server/discover") return resultAnswer(id, discoverResultText_);
  // Kept in both revisions, though the modern one dropped it: keep-alives of mixed clients go on working.
  if (method == "ping") return resultAnswer(id, isModern ? writeJson(modern({})) : "{}");
  if (std::optional<JsonObject> list = emptyList(method)) {
    return resultAnswer(id, writeJson(isModern ? modernList(std::move(*list)) : *list));
  }
  return errorAnswer(id, -32601, "Method not found");
}

std::string McpServer::initializeAnswer(const JsonRpcRequest& request) {
  // The client's revision when this server speaks it, else the newest one it speaks.
  const std::string* asked = request.params ? request.params->findString("protocolVersion") : nullptr;
  for (const auto& [version, text] : initializeResultTexts_) {
    if (asked && *asked == version) {
      negotiated_ = version;
      return resultAnswer(*request.id, text);
    }
  }
  negotiated_ = initializeResultTexts_.front().first;
  return resultAnswer(*request.id, initializeResultTexts_.front().second);
}

bool McpServer::toolErrorsAsResults(bool isModern) const {
  // Clients show their model a tool result's text, but of an error answer only its message: from
  // these revisions on, a failed call is a result, so that the model reads why and can correct itself.
  return isModern || negotiated_ == "2025-06-18" || negotiated_ == "2025-11-25";
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

std::optional<JsonRpcResponse> McpServer::handleToolCall(const JsonRpcRequest& request, bool isModern) {
  JsonRpcResponse r;
  r.id = request.id;
  const JsonValue* params = request.params ? &*request.params : nullptr;
  const std::string* name = params && params->isObject() ? params->findString("name") : nullptr;
  if (!name) {
    r.error =
        JsonRpcError{-32602, "Invalid params", reasonData("tools/call needs params with a string name.")};
    return r;
  }
  static const JsonValue kNoArguments = JsonObject{};
  const JsonValue* given = params->find("arguments");
  const JsonValue& arguments = given && given->isObject() ? *given : kNoArguments;

  const ToolDefinition* tool = findTool(*name);
  const bool errorsAsResults = toolErrorsAsResults(isModern);
  if (!tool && errorsAsResults) {
    r.error = JsonRpcError{-32602, "Unknown tool: " + *name, std::nullopt};
    return r;
  }
  if (!tool || !tool->handler) {
    r.result = toolContentResult(JsonObject{{"error", "unsupported_tool"}});
    if (isModern) r.result = modern(std::move(*r.result));
    return r;
  }
  ToolCall call{services_.recorder,
                services_.skills,
                services_.replays,
                arguments,
                background_.get(),
                &*request.id,
                {},
                {}};
  if (background_) {
    call.answerLater = [this, id = *request.id, isModern, errorsAsResults](std::optional<JsonValue> payload,
                                                                           std::exception_ptr failure) {
      output_(encodeAnswer(toolAnswer(id, std::move(payload), failure, isModern, errorsAsResults).toJson()));
    };
    const JsonObject* meta = params->findObject("_meta");
    if (const JsonValue* token = meta ? findMember(*meta, "progressToken") : nullptr) {
      call.progress = progressReporter(*token);
    }
  }
  std::optional<JsonValue> payload;
  std::exception_ptr failure;
  try {
    payload = tool->handler(call);
    if (!payload) return std::nullopt;  // answered when its work ends
  } catch (...) {
    failure = std::current_exception();
  }
  return toolAnswer(*request.id, std::move(payload), failure, isModern, errorsAsResults);
}

JsonRpcResponse McpServer::toolAnswer(const JsonRpcId& id, std::optional<JsonValue> payload,
                                      std::exception_ptr failure, bool isModern, bool errorsAsResults) {
  JsonRpcResponse r;
  r.id = id;
  if (payload) {
    r.result = toolContentResult(*payload);
    if (isModern) r.result = modern(std::move(*r.result));
    return r;
  }
  bool badArguments = false;
  std::string reason;
  try {
    std::rethrow_exception(failure);
  } catch (const InvalidToolArguments& e) {
    badArguments = true;
    reason = e.what();
  } catch (const std::exception& e) {
    reason = failureReason(e);
  } catch (...) {
    reason = "The operation failed.";
  }
  if (errorsAsResults) {
    JsonObject result = textContent(std::move(reason));
    result.emplace("isError", true);
    r.result = isModern ? modern(std::move(result)) : std::move(result);
  } else if (badArguments) {
    r.error = JsonRpcError{-32602, "Invalid params", reasonData(std::move(reason))};
  } else {
    r.error = JsonRpcError{-32000, "Internal error", reasonData(std::move(reason))};
  }
  return r;
}

std::function<void(size_t, size_t)> McpServer::progressReporter(const JsonValue& token) {
  // Called on the replay's thread only, so its own state needs no lock.
  struct Sent {
    size_t done = 0;
    std::chrono::steady_clock::time_point at;
  };
  return [this, token, sent = std::make_shared<Sent>()](size_t done, size_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (done <= sent->done || now - sent->at < kProgressInterval) return;
    sent->done = done;
    sent->at = now;
    const JsonValue notification =
        JsonObject{{"jsonrpc", "2.0"},
                   {"method", "notifications/progress"},
                   {"params", JsonObject{{"progressToken", token},
                                         {"progress", JsonValue(static_cast<long long>(done))},
                                         {"total", JsonValue(static_cast<long long>(total))}}}};
    output_(encodeAnswer(notification));
  };
}

void McpServer::handleNotification(const JsonValue& message) {
  if (!background_) return;
  const std::string* method = message.findString("method");
  if (!method || *method != "notifications/cancelled") return;
  const JsonValue* params = message.find("params");
  const JsonValue* requestId = params ? params->find("requestId") : nullptr;
  if (!requestId) return;
  try {
    background_->cancel(JsonRpcId::fromJson(*requestId));
  } catch (const JsonRpcDecodeError&) {
    // not an id this server could have given out
  }
}

void McpServer::answerInBackground(Output output) {
  output_ = std::move(output);
  if (!background_) background_ = std::make_unique<BackgroundReplay>(services_.replays);
}

void McpServer::finishBackgroundWork() {
  if (background_) background_->finish();
}

JsonObject McpServer::toolContentResult(const JsonValue& value) {
  JsonObject result = textContent(encodeToolPayload(value));
  // A payload that reports an error is a failed call, and says so where clients and models look.
  if (value.find("error") != nullptr) result.emplace("isError", true);
  return result;
}

std::string McpServer::encodeToolPayload(const JsonValue& value) {
  try {
    return writeJson(value, JsonLayout::Compact);
  } catch (const JsonEncodeError&) {
    return R"({"error":"encoding_failed"})";
  }
}

}  // namespace diruri
