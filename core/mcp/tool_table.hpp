// The tools the server offers, one row each: what the agent is shown and what a call does. The
// listing and the dispatch both read this table, so a tool is added in one place.
#pragma once

#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/recorder/recorder_controller.hpp"

namespace diruri {

// A call whose arguments the tool cannot take (a required one missing, mistyped or blank). It is
// answered with -32602 and nothing is carried out.
class InvalidToolArguments : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A string argument of a tool's input schema.
struct ToolArgument {
  std::string_view name;
  std::string_view description;
  bool required = false;
};

// Carries out one call: reads what it needs from the arguments object (an object, empty when the
// call gave none) and returns the value that becomes the tool's payload. Throws
// InvalidToolArguments before doing anything, or whatever the operation throws.
using ToolHandler = JsonValue (*)(RecorderController& recorder, const JsonValue& arguments);

struct ToolDefinition {
  std::string_view name;
  std::string_view description;
  std::vector<ToolArgument> arguments = {};  // in schema order; none gives the schema of no arguments
  ToolHandler handler = nullptr;             // none: listed, answered with {"error":"unsupported_tool"}

  // {"type":"object","properties":{…},"required":[…],"additionalProperties":false}; a tool without
  // arguments has empty properties and no "required".
  JsonValue inputSchema() const;
  // The tool as tools/list shows it.
  JsonValue toJson() const;
};

// Every tool, in listing order.
const std::vector<ToolDefinition>& toolTable();

// The row of that name; null for a name the table does not hold.
const ToolDefinition* findTool(std::string_view name);

}  // namespace diruri
