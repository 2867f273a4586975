// The tools the server offers, one row each: what the agent is shown and what a call does. The
// listing and the dispatch both read this table, so a tool is added in one place.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/mcp/background_replay.hpp"
#include "core/mcp/json_rpc.hpp"
#include "core/recorder/recorder_controller.hpp"
#include "core/recorder/replay_runs.hpp"
#include "core/skill/skill_library.hpp"

namespace diruri {

// A call whose arguments the tool cannot take (a required one missing, mistyped or blank). It is
// answered with -32602 and nothing is carried out.
// The text is one sentence naming the argument and what is wrong with it.
class InvalidToolArguments : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One sentence for the agent on why an operation failed: what was wrong, and where.
std::string failureReason(const std::exception& failure);

// What a client may assume about a tool, so it can decide whether to ask the person before a call.
// Every hint is always written: the protocol's defaults assume a destructive, open-world tool.
struct ToolHints {
  bool readOnly = false;
  bool destructive = false;
  bool idempotent = false;
  bool openWorld = false;
};

// An argument of a tool's input schema: a string unless it says otherwise.
struct ToolArgument {
  std::string_view name;
  std::string_view description;
  bool required = false;
  std::string_view type = "string";
};

// What the tools act on: the recording life cycle, the skills and the replay runs, built by the
// composition root; each must outlive the server.
struct ToolServices {
  RecorderController& recorder;
  SkillLibrary& skills;
  ReplayRuns& replays;
};

// What a handler works with.
struct ToolCall {
  RecorderController& recorder;
  SkillLibrary& skills;
  ReplayRuns& replays;
  // The arguments object; empty when the call gave none.
  const JsonValue& arguments;
  // The replay that runs while the server goes on answering; null when every call is to be
  // carried out before it is answered.
  BackgroundReplay* background = nullptr;
  const JsonRpcId* requestId = nullptr;
  // For a call answered when its work ends: gives the payload, or the failure, on whichever thread
  // the work ends.
  std::function<void(std::optional<JsonValue> payload, std::exception_ptr failure)> answerLater;
  // Reports progress to the client when it asked for it (at most every 100 ms); may be empty.
  std::function<void(size_t done, size_t total)> progress;
};

// Carries out one call and returns the value that becomes the tool's payload, or none when the
// call is answered later through `answerLater`. Throws InvalidToolArguments before doing
// anything, or whatever the operation throws.
using ToolHandler = std::optional<JsonValue> (*)(ToolCall& call);

struct ToolDefinition {
  std::string_view name;
  std::string_view title;
  std::string_view description;
  ToolHints hints = {};
  std::vector<ToolArgument> arguments = {};  // in schema order; none gives the schema of no arguments
  ToolHandler handler = nullptr;             // none: listed, answered with {"error":"unsupported_tool"}

  // {"type":"object","properties":{…},"required":[…],"additionalProperties":false}; "required" is
  // left out when no argument is required.
  JsonValue inputSchema() const;
  // The tool as tools/list shows it: annotations, description, inputSchema, name and title.
  JsonValue toJson() const;
};

// Every tool, in listing order.
const std::vector<ToolDefinition>& toolTable();

// The row of that name; null for a name the table does not hold.
const ToolDefinition* findTool(std::string_view name);

}  // namespace diruri
