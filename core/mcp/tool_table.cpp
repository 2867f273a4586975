// The nine tools: their listing, their argument checks and the recorder operation behind each.
#include "core/mcp/tool_table.hpp"

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/platform/path.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/event_store.hpp"
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
  const JsonValue* value = arguments.find(name);
  if (!value) throw InvalidToolArguments("The argument " + std::string(name) + " is required.");
  if (!value->isString())
    throw InvalidToolArguments("The argument " + std::string(name) + " must be a string.");
  if (isBlank(value->asString()))
    throw InvalidToolArguments("The argument " + std::string(name) + " is blank.");
  return value->asString();
}

std::optional<JsonValue> startRecording(ToolCall& call) {
  const std::string workspacePath = requiredString(call.arguments, "workspacePath");
  return call.recorder.start(workspacePath, optionalString(call.arguments, "sessionName")).toJson();
}

std::optional<JsonValue> recordingStatus(ToolCall& call) { return call.recorder.status().toJson(); }

std::optional<JsonValue> permissionStatus(ToolCall& call) { return call.recorder.permissions().toJson(); }

std::optional<JsonValue> stopRecording(ToolCall& call) {
  return call.recorder
      .stop(optionalString(call.arguments, "workspacePath"), optionalString(call.arguments, "sessionId"))
      .toJson();
}

// The speed argument: 0, or a factor from kSlowest to kFastest; 1 when absent. Below the slowest a
// recorded pause would overflow the replay's clock.
constexpr double kSlowest = 0.01;
constexpr double kFastest = 100;
double speedArgument(const JsonValue& arguments) {
  const JsonValue* speed = arguments.find("speed");
  if (!speed) return 1;
  const double value = speed->isNumber() ? speed->asDouble() : -1;
  if (!std::isfinite(value) || (value != 0 && (value < kSlowest || value > kFastest))) {
    throw InvalidToolArguments(
        "The argument speed must be 0 (as fast as the applications allow) or a number from 0.01 to 100 (1 "
        "keeps the recorded "
        "pauses, 2 halves them).");
  }
  return value;
}

// A name that becomes a folder of its own: one that is not a plain name would lead out of the
// folder it is meant for.
std::string plainName(const JsonValue& arguments, std::string_view name) {
  std::string value = requiredString(arguments, name);
  if (!isPlainPathComponent(value)) {
    throw InvalidToolArguments("The argument " + std::string(name) +
                               " must be a plain name, without \"/\" and not \".\" or \"..\".");
  }
  return value;
}

// A skill's parameters as an agent is told them: name, description, whether secret, and the
// default of one that is not. The file they come from may be a cloned repository's: its texts are
// cleaned and cut as data.
JsonValue parametersJson(const std::vector<SkillParameter>& parameters) {
  JsonArray out;
  for (const SkillParameter& p : parameters) {
    JsonObject o{{"name", p.name},
                 {"description", cleanData(p.description, kLongestQuotedText)},
                 {"secret", p.secret}};
    if (p.defaultText) o.emplace("default", cleanData(*p.defaultText, kLongestQuotedText));
    out.push_back(std::move(o));
  }
  return out;
}

std::optional<JsonValue> replaySkill(ToolCall& call) {
  const std::string workspacePath = requiredString(call.arguments, "workspacePath");
  // The skill id names the skill's folder and is part of the run's.
  const std::string skillId = plainName(call.arguments, "skillId");
  ReplayOptions options;
  options.speed = speedArgument(call.arguments);
  if (const JsonValue* from = call.arguments.find("fromStep")) {
    const std::optional<int64_t> step = from->isNumber() ? from->asIntegral() : std::nullopt;
    if (!step || *step < 0) {
      throw InvalidToolArguments(
          "The argument fromStep must be a whole number from 0: the index of a step in the skill's "
          "references/steps.json.");
    }
    options.fromStep = static_cast<size_t>(*step);
  }
  if (const JsonValue* given = call.arguments.find("arguments")) {
    if (!given->isObject()) {
      throw InvalidToolArguments(
          "The argument arguments must be an object of strings: each parameter's name and the text to type.");
    }
    for (const auto& [name, text] : given->asObject()) {
      if (!text.isString()) {
        throw InvalidToolArguments("The argument arguments." + cleanData(name, kLongestQuotedName) +
                                   " must be a string: the text to type for that parameter.");
      }
      options.arguments.emplace_back(name, text.asString());
    }
  }
  // Refused before the run begins (its folder, its screenshots) when the arguments do not fit; a
  // skill that is not found is reported by the replay, as it always was.
  std::optional<std::vector<SkillParameter>> parameters;
  try {
    parameters = call.skills.parameters(workspacePath, skillId);
  } catch (const FileSystemError&) {
  }
  if (std::optional<std::string> problem =
          parameters ? argumentsProblem(*parameters, options.arguments, options.fromStep.value_or(0))
                     : std::nullopt)
    throw InvalidToolArguments(*problem);
  if (!call.background) return call.replays.replay(workspacePath, skillId, options).toJson();
  auto finished = [answer = call.answerLater](std::optional<RecorderReplayResult> result,
                                              std::exception_ptr failure) {
    answer(result ? std::optional<JsonValue>(result->toJson()) : std::nullopt, failure);
  };
  if (!call.background->start(*call.requestId, workspacePath, skillId, options, call.progress,
                              std::move(finished))) {
    const auto running = call.background->status();
    if (running && running->stopping) {
      throw std::runtime_error("The replay " + running->runId +
                               " was stopped and is writing its run.json; try again in a moment.");
    }
    throw std::runtime_error("A replay is running" + (running ? " (" + running->runId + ")" : std::string()) +
                             "; stop it with replay_stop or wait until it ends.");
  }
  return std::nullopt;
}

std::optional<JsonValue> generateSkill(ToolCall& call) {
  const std::string workspacePath = requiredString(call.arguments, "workspacePath");
  const std::string sessionId = plainName(call.arguments, "sessionId");
  std::optional<std::string> skillId;
  if (call.arguments.find("skillId")) {
    skillId = requiredString(call.arguments, "skillId");
    // The id becomes the skill's folder and the name agents load it by.
    if (!isSkillName(*skillId))
      throw InvalidToolArguments("The argument skillId " + std::string(kSkillNameRule));
  }
  const GeneratedSkill skill = call.skills.generate(workspacePath, sessionId, skillId);
  return JsonObject{{"parameters", parametersJson(skill.parameters)},
                    {"skillId", skill.skillId},
                    {"skillPath", skill.skillPath},
                    {"status", "generated"},
                    {"steps", JsonValue(static_cast<long long>(skill.steps))}};
}

std::optional<JsonValue> installSkill(ToolCall& call) {
  const std::string workspacePath = requiredString(call.arguments, "workspacePath");
  const std::string skillId = plainName(call.arguments, "skillId");
  std::optional<std::string> destination;
  if (call.arguments.find("destination")) destination = requiredString(call.arguments, "destination");
  const std::string installed = call.skills.install(workspacePath, skillId, destination);
  return JsonObject{{"installedPath", installed},
                    {"parameters", parametersJson(call.skills.parameters(installed))},
                    {"skillId", skillId},
                    {"status", "installed"}};
}

std::optional<JsonValue> listSkills(ToolCall& call) {
  std::optional<std::string> workspacePath;
  if (call.arguments.find("workspacePath")) workspacePath = requiredString(call.arguments, "workspacePath");
  JsonArray skills;
  for (SkillLibrary::Listed& skill : call.skills.list(workspacePath)) {
    skills.push_back(JsonObject{{"skillId", std::move(skill.skillId)},
                                {"description", std::move(skill.description)},
                                {"location", std::move(skill.location)},
                                {"parameters", parametersJson(skill.parameters)},
                                {"path", std::move(skill.path)}});
  }
  return JsonObject{{"skills", std::move(skills)}};
}

std::optional<JsonValue> replayStatus(ToolCall& call) {
  const auto running = call.background ? call.background->status() : std::nullopt;
  if (!running) return JsonObject{{"status", "idle"}};
  return JsonObject{{"runId", running->runId},
                    {"skillId", running->skillId},
                    {"status", running->stopping ? "stopping" : "running"},
                    {"stepsDone", JsonValue(static_cast<long long>(running->stepsDone))},
                    {"stepsTotal", JsonValue(static_cast<long long>(running->stepsTotal))}};
}

std::optional<JsonValue> stopReplay(ToolCall& call) {
  const auto stopped = call.background ? call.background->stop() : std::nullopt;
  if (!stopped) return JsonObject{{"status", "idle"}};
  return JsonObject{{"runId", stopped->first}, {"status", stopped->second}};
}

}  // namespace

JsonValue ToolDefinition::inputSchema() const {
  JsonObject properties;
  JsonArray required;
  for (const ToolArgument& a : arguments) {
    JsonObject property{{"type", a.type}, {"description", a.description}};
    if (a.type == "object") property.emplace("additionalProperties", JsonObject{{"type", "string"}});
    properties.emplace(a.name, std::move(property));
    if (a.required) required.emplace_back(a.name);
  }
  JsonObject schema{
      {"type", "object"}, {"properties", std::move(properties)}, {"additionalProperties", false}};
  if (!required.empty()) schema.emplace("required", std::move(required));
  return schema;
}

JsonValue ToolDefinition::toJson() const {
  const JsonObject annotations{{"readOnlyHint", hints.readOnly},
                               {"destructiveHint", hints.destructive},
                               {"idempotentHint", hints.idempotent},
                               {"openWorldHint", hints.openWorld}};
  return JsonObject{{"name", name},
                    {"title", title},
                    {"description", description},
                    {"inputSchema", inputSchema()},
                    {"annotations", annotations}};
}

// Hints of the tools that only report: safe to call without asking.
constexpr ToolHints kReport{.readOnly = true, .idempotent = true};

const std::vector<ToolDefinition>& toolTable() {
  static const std::vector<ToolDefinition> tools = {
      {.name = "event_stream_start",
       .title = "Start recording",
       .description =
           "Start recording what the person does on this Linux desktop (X11 or Wayland): clicks, keys and "
           "scrolls, each with the application and window in front, into a new session below "
           "<workspacePath>/.zeruva/, with a screenshot and an accessibility snapshot at the start. Keys "
           "typed into password fields are not kept. `warnings` says what cannot be recorded here. Stop "
           "it with event_stream_stop.",
       .arguments = {{"workspacePath", "Absolute workspace path where recording files should be written.",
                      true},
                     {"sessionName", "Optional human-readable recording label."}},
       .handler = startRecording},
      {.name = "event_stream_status",
       .title = "Recording status",
       .description = "Report whether a recording runs, its session, whether input is being captured, and "
                      "what cannot be "
                      "recorded here (`warnings`).",
       .hints = kReport,
       .handler = recordingStatus},
      {.name = "event_stream_stop",
       .title = "Stop recording",
       .description =
           "Stop the running recording (or close a session an earlier server left open): takes the stop "
           "screenshot and snapshot and writes summary.json; the session id then goes to "
           "generate_skill_from_recording.",
       .arguments = {{"workspacePath", "Absolute workspace path of the session to stop."},
                     {"sessionId", "Identifier of the session to stop; defaults to the running one."}},
       .handler = stopRecording},
      {.name = "permission_status",
       .title = "Permission status",
       .description =
           "Report what this server can reach on this Linux desktop: accessibilityTrusted (X11: the display "
           "in "
           "DISPLAY opens and offers the RECORD extension; Wayland: the accessibility bus answers), "
           "screenCaptureAllowed (screenshots can be taken), inputCaptureActive (a recording is capturing "
           "input now).",
       .hints = kReport,
       .handler = permissionStatus},
      {.name = "generate_skill_from_recording",
       .title = "Generate skill from recording",
       .description = "Turn a stopped recording session into a skill folder .zeruva/skills/<skillId>/: "
                      "SKILL.md with the "
                      "steps in words, and the recorded events to replay. Never replaces an existing skill.",
       .arguments =
           {{"workspacePath", "Absolute workspace path that holds the recording.", true},
            {"sessionId", "Identifier of a stopped recording session.", true},
            {"skillId",
             "Identifier of the new skill, its folder's name: 1 to 64 lowercase letters, digits and hyphens, "
             "not starting or ending with a hyphen, without \"--\"; defaults to the summary's "
             "recommendedSkillId."}},
       .handler = generateSkill},
      {.name = "install_generated_skill",
       .title = "Install generated skill",
       .description =
           "Copy a generated skill into the local skill store ($XDG_DATA_HOME/diruri-rediro/skills) or "
           "another "
           "folder, so that it replays from any workspace; an installed copy of that id is replaced whole.",
       .arguments = {{"workspacePath", "Absolute workspace path that holds the generated skill.", true},
                     {"skillId", "Generated skill id to install.", true},
                     {"destination", "Skills folder to install into; defaults to the local skill store."}},
       .handler = installSkill},
      {.name = "list_skills",
       .title = "List skills",
       .description =
           "List the skills an agent can replay: those of the workspace (when workspacePath is given) and "
           "those installed in the local skill store, each with its id, its SKILL.md description (recorded "
           "text, quoted as data), where it lives (\"workspace\" or \"store\"), its folder and its "
           "parameters (name, description, secret, and the recorded default of one that is not secret), "
           "which replay_skill's arguments give.",
       .hints = kReport,
       .arguments = {{"workspacePath", "Absolute workspace path whose .zeruva/skills to list too.", false}},
       .handler = listSkills},
      {.name = "replay_skill",
       .title = "Replay skill",
       .description =
           "Replay a skill's recorded clicks, keys and scrolls on this desktop, paced as recorded, each into "
           "the window it was made in (clicks find their element again), and check what the recording "
           "observed after its steps (a field's text, a toggle's state, the window in front). The answer "
           "gives each step's status and check, `checks` and `verified` (every step replayed and every "
           "check passed), and for a failed step a `handover` (its words, element, screenshot and the "
           "elements near it) to do it by hand and go on with fromStep; replay_status and replay_stop "
           "work meanwhile. A skill's parameters (the texts typed into its fields, and its passwords, which "
           "must be given) are listed by list_skills, in its SKILL.md and in its references/steps.json and "
           "parameters.json; `arguments` gives them other texts.",
       .hints = {.destructive = true, .openWorld = true},
       .arguments =
           {{"workspacePath", "Absolute workspace path where replay files should be written.", true},
            {"skillId", "Generated skill id to replay.", true},
            {"speed",
             "Playback speed relative to the recording: 1 (the default) keeps the recorded pauses, 2 halves "
             "them, 0 goes as fast as the applications allow (each step still waits until its window, "
             "element, focus and check are ready); 0 or 0.01 to 100.",
             false, "number"},
            {"fromStep",
             "Replay from this step of the skill's references/steps.json (numbered from 0), skipping those "
             "before it, which are reported \"skipped\" with the reason \"before fromStep\": after doing a "
             "failed "
             "step by hand.",
             false, "integer"},
            {"arguments",
             "Texts for the skill's parameters, by name (see list_skills or its SKILL.md): each is typed "
             "into "
             "its field instead of what was recorded, and that field's check expects it. Secret parameters "
             "(passwords) are required; their values are typed and never written anywhere.",
             false, "object"}},
       .handler = replaySkill},
      {.name = "replay_status",
       .title = "Replay status",
       .description =
           "Report whether a replay runs: its run id, its skill and how many of its steps are done.",
       .hints = kReport,
       .handler = replayStatus},
      {.name = "replay_stop",
       .title = "Stop replay",
       .description = "Stop the running replay: what it holds pressed is released and its run.json written.",
       .hints = {.idempotent = true},
       .handler = stopReplay},
  };
  return tools;
}

const ToolDefinition* findTool(std::string_view name) {
  for (const ToolDefinition& tool : toolTable()) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

std::string failureReason(const std::exception& failure) {
  if (dynamic_cast<const SkillNotFound*>(&failure) || dynamic_cast<const SkillError*>(&failure)) {
    return failure.what();
  }
  if (const auto* e = dynamic_cast<const FileSystemError*>(&failure))
    return "Could not " + std::string(e->what()) + ".";
  if (dynamic_cast<const JsonParseError*>(&failure))
    return "A file it read is not valid JSON: " + std::string(failure.what()) + ".";
  if (dynamic_cast<const EventStoreError*>(&failure)) return "The text to be written is not valid UTF-8.";
  return failure.what();
}

}  // namespace diruri
