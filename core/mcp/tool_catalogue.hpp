// The fixed list of tools the server advertises, with their argument schemas.
#pragma once

#include <string>
#include <vector>

#include "core/json/json_value.hpp"

namespace diruri {

// {"type":"object","properties":{},"additionalProperties":false}: a tool without arguments.
JsonValue defaultToolInputSchema();

struct ToolDefinition {
  std::string name;
  std::string description;
  JsonValue inputSchema = defaultToolInputSchema();

  // {"name", "description", "inputSchema"} as listed to the agent.
  JsonValue toJson() const;
};

// The nine tools in the order they are listed.
std::vector<ToolDefinition> makeToolCatalogue();

}  // namespace diruri
