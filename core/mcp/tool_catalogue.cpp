// The nine advertised tools; only their listing lives here, their handling is in the dispatch.
#include "core/mcp/tool_catalogue.hpp"

#include <utility>

namespace diruri {

namespace {

struct Argument {
  const char* name;
  const char* description;
  bool required;
};

// The schema of a tool with string arguments; "required" keeps the order given here.
JsonValue schemaWithArguments(std::initializer_list<Argument> arguments) {
  JsonObject properties;
  JsonArray required;
  for (const Argument& a : arguments) {
    properties.emplace(a.name, JsonObject{{"type", "string"}, {"description", a.description}});
    if (a.required) required.emplace_back(a.name);
  }
  return JsonObject{{"type", "object"},
                    {"properties", std::move(properties)},
                    {"required", std::move(required)},
                    {"additionalProperties", false}};
}

}  // namespace

JsonValue defaultToolInputSchema() {
  return JsonObject{{"type", "object"}, {"properties", JsonObject{}}, {"additionalProperties", false}};
}

JsonValue ToolDefinition::toJson() const {
  return JsonObject{{"name", name}, {"description", description}, {"inputSchema", inputSchema}};
}

std::vector<ToolDefinition> makeToolCatalogue() {
  return {
      {"event_stream_start", "Start capturing native UI events for a record and replay session.",
       schemaWithArguments({
           {"workspacePath", "Absolute workspace path where recording files should be written.", true},
           {"sessionName", "Optional human-readable recording label.", false},
       })},
      {"event_stream_status", "Report the current native event stream capture status."},
      {"event_stream_stop", "Stop native UI event capture and finalize the current recording."},
      {"permission_status", "Report native macOS permissions visible to the record and replay helper."},
      {"generate_skill_from_recording", "Generate a skill draft from a completed native event recording."},
      {"install_generated_skill", "Install a generated record and replay skill into the local skill store."},
      {"replay_skill", "Start replaying a previously generated native automation skill.",
       schemaWithArguments({
           {"workspacePath", "Absolute workspace path where replay files should be written.", true},
           {"skillId", "Generated skill id to replay.", true},
       })},
      {"replay_status", "Report the current native replay session status."},
      {"replay_stop", "Stop the active native replay session."},
  };
}

}  // namespace diruri
