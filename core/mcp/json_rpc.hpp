// JSON-RPC 2.0 records: the request read from a line and the answers written back.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "core/json/json_value.hpp"

namespace diruri {

// A JSON value did not have the shape a record needs; the text never reaches the agent.
class JsonRpcDecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct JsonRpcId {
  std::variant<std::string, int64_t> value;

  // A string, or a number with an integral value that fits in 64 signed bits (7, 7.0, 7e0).
  // Throws JsonRpcDecodeError("Expected string or integer JSON-RPC id").
  static JsonRpcId fromJson(const JsonValue& json);
  JsonValue toJson() const;

  friend bool operator==(const JsonRpcId&, const JsonRpcId&) = default;
};

struct JsonRpcRequest {
  std::string jsonrpc;
  std::optional<JsonRpcId> id;
  std::string method;
  std::optional<JsonValue> params;

  // Member by member: "jsonrpc" a string, "id" absent/null or an id, "method" a string, "params"
  // absent/null or any value; other members ignored. Throws JsonRpcDecodeError.
  static JsonRpcRequest fromJson(const JsonValue& json);
  // The same, taking the members over instead of copying them.
  static JsonRpcRequest fromJson(JsonValue&& json);

  friend bool operator==(const JsonRpcRequest&, const JsonRpcRequest&) = default;
};

struct JsonRpcError {
  int64_t code = 0;
  std::string message;
  std::optional<JsonValue> data = std::nullopt;  // what went wrong, for the agent to correct itself

  JsonValue toJson() const;
  friend bool operator==(const JsonRpcError&, const JsonRpcError&) = default;
};

struct JsonRpcResponse {
  std::string jsonrpc = "2.0";
  std::optional<JsonRpcId> id;
  std::optional<JsonObject> result;
  std::optional<JsonRpcError> error;

  // Absent fields are left out, never written as null.
  JsonValue toJson() const;
};

// The id of an answer to a line that was not accepted as a request.
struct ResponseId {
  std::variant<std::string, int64_t, std::nullptr_t> value = nullptr;

  static ResponseId from(const std::optional<JsonRpcId>& id);
  JsonValue toJson() const;
  friend bool operator==(const ResponseId&, const ResponseId&) = default;
};

struct InvalidRequestResponse {
  std::string jsonrpc = "2.0";
  ResponseId id;
  JsonRpcError error{-32600, "Invalid Request"};

  JsonValue toJson() const;
};

struct ParseErrorResponse {
  std::string jsonrpc = "2.0";
  JsonValue id;  // always null from this server
  JsonRpcError error{-32700, "Parse error"};

  JsonValue toJson() const;
};

// Written when an answer cannot be encoded, whatever it was.
inline constexpr std::string_view kInternalErrorAnswer =
    R"({"error":{"code":-32603,"message":"Internal error"},"id":null,"jsonrpc":"2.0"})";

// Compact text of an answer, or kInternalErrorAnswer when writing fails.
std::string encodeAnswer(const JsonValue& answer);

}  // namespace diruri
