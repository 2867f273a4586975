// The nine tools: their listing, their argument checks and the recorder operation behind each.
#include "core/mcp/tool_table.hpp"

#include <optional>
#include <string>

#include "core/platform/path.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

// A member of the arguments that is a JSON string; any other kind counts as missing.
std::optional<std::string> optionalString(const JsonValue& arguments, std::string_view name) {
  const std::string* s = arguments.findString(name);
  return s ? std::optional<std::string>(*s) : std::nullopt;
}

// A string argument that must be there and not blank; passed on exactly as received.
std::string requiredString(const JsonValue& arguments, std::string_view name) {
  std::optional<std::string> value = optionalString(arguments, name);
  if (!value || isBlank(*value)) throw InvalidToolArguments(std::string(name) + " is missing or blank");
  return std::move(*value);
}

JsonValue startRecording(RecorderController& recorder, const JsonValue& arguments) {
  const std::string workspacePath = requiredString(arguments, "workspacePath");
  return recorder.start(workspacePath, optionalString(arguments, "sessionName")).toJson();
}

JsonValue recordingStatus(RecorderController& recorder, const JsonValue&) {
  return recorder.status().toJson();
}

JsonValue permissionStatus(RecorderController& recorder, const JsonValue&) {
  return recorder.permissions().toJson();
}

JsonValue stopRecording(RecorderController& recorder, const JsonValue& arguments) {
  return recorder.stop(optionalString(arguments, "workspacePath"), optionalString(arguments, "sessionId"))
      .toJson();
}

JsonValue replaySkill(RecorderController& recorder, const JsonValue& arguments) {
  const std::string workspacePath = requiredString(arguments, "workspacePath");
  const std::string skillId = requiredString(arguments, "skillId");
  // The skill id becomes a directory name twice over: one that is not a plain name would lead the
  // run directory and the reference path out of the workspace's own folder.
  if (!isPlainPathComponent(skillId)) throw InvalidToolArguments("skillId is not a plain name");
  return recorder.replay(workspacePath, skillId).toJson();
}

}  // namespace

JsonValue ToolDefinition::inputSchema() const {
  JsonObject properties;
  JsonArray required;
  for (const ToolArgument& a : arguments) {
    properties.emplace(a.name, JsonObject{{"type", "string"}, {"description", a.description}});
    if (a.required) required.emplace_back(a.name);
  }
  JsonObject schema{
      {"type", "object"}, {"properties", std::move(properties)}, {"additionalProperties", false}};
  if (!arguments.empty()) schema.emplace("required", std::move(required));
  return schema;
}

JsonValue ToolDefinition::toJson() const {
  return JsonObject{{"name", name}, {"description", description}, {"inputSchema", inputSchema()}};
}

const std::vector<ToolDefinition>& toolTable() {
  static const std::vector<ToolDefinition> tools = {
      {.name = "event_stream_start",
       .description = "Start capturing native UI events for a record and replay session.",
       .arguments = {{"workspacePath", "Absolute workspace path where recording files should be written.",
                      true},
                     {"sessionName", "Optional human-readable recording label."}},
       .handler = startRecording},
      {.name = "event_stream_status",
       .description = "Report the current native event stream capture status.",
       .handler = recordingStatus},
      {.name = "event_stream_stop",
       .description = "Stop native UI event capture and finalize the current recording.",
       .handler = stopRecording},
      {.name = "permission_status",
       .description = "Report native macOS permissions visible to the record and replay helper.",
       .handler = permissionStatus},
      {.name = "generate_skill_from_recording",
       .description = "Generate a skill draft from a completed native event recording."},
      {.name = "install_generated_skill",
       .description = "Install a generated record and replay skill into the local skill store."},
      {.name = "replay_skill",
       .description = "Start replaying a previously generated native automation skill.",
       .arguments = {{"workspacePath", "Absolute workspace path where replay files should be written.", true},
                     {"skillId", "Generated skill id to replay.", true}},
       .handler = replaySkill},
      {.name = "replay_status", .description = "Report the current native replay session status."},
      {.name = "replay_stop", .description = "Stop the active native replay session."},
  };
  return tools;
}

const ToolDefinition* findTool(std::string_view name) {
  for (const ToolDefinition& tool : toolTable()) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

}  // namespace diruri
