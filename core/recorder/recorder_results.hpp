// The answers of the recorder controller's operations, as the agent receives them.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/platform/file_system.hpp"
#include "core/replay/replay_step.hpp"

namespace diruri {

struct RecorderStartResult {
  std::string status = "recording";
  std::string sessionId;
  std::string sessionPath;
  bool inputCaptureActive = false;
  bool accessibilityTrusted = false;
  bool screenCaptureAllowed = false;
  bool startScreenshotOk = false;
  std::optional<std::string> error;
  // What will not be recorded here, and why; left out when nothing is missing.
  std::vector<std::string> warnings;

  JsonValue toJson() const;
};

struct RecorderStatusResult {
  std::string status;
  std::optional<std::string> sessionId;
  std::optional<std::string> sessionPath;
  bool inputCaptureActive = false;
  bool accessibilityTrusted = false;
  bool screenCaptureAllowed = false;
  std::vector<std::string> warnings;  // of the running recording, as on its start

  JsonValue toJson() const;
};

struct RecorderStopResult {
  std::string status;
  std::optional<std::string> sessionId;
  std::optional<std::string> summaryPath;

  JsonValue toJson() const;
};

// The most steps a replay's answer lists before it counts the rest (stepsOmitted).
inline constexpr size_t kStepsListed = 1000;

// The answer of a replay: the first kStepsListed steps and any failed one after them (with its
// "index"), "stepCounts" per status, and "stepsOmitted" when steps were left out.
struct RecorderReplayResult {
  std::string runId;
  std::string runPath;
  std::string status = "success";  // "success", "failed" or "stopped"
  std::vector<ReplayStep> steps;
  size_t checksPassed = 0;
  size_t checksFailed = 0;
  bool verified = false;
  std::optional<JsonValue> handover;  // a failed step's (Handover)

  JsonValue toJson() const;
};

// A replay run as planned before it begins.
struct ReplayRun {
  std::string runId;
  std::string workspacePath;  // as the caller gave it
  std::string skillId;
  std::string startedAt;
};

struct RecorderPermissionResult {
  bool accessibilityTrusted = false;
  bool screenCaptureAllowed = false;
  bool inputCaptureActive = false;

  JsonValue toJson() const;
};

// The content of a replay run's run.json.
struct ReplayRunMetadata {
  std::string runId;
  std::string skillId;
  std::string startedAt;
  std::string endedAt;
  std::string status = "success";
  std::vector<ReplayStep> steps;
  std::vector<std::string> screenshots;
  size_t checksPassed = 0;
  size_t checksFailed = 0;
  bool verified = false;
  std::optional<JsonValue> handover;

  // Everything but the steps.
  JsonObject head() const;
  // Writes run.json, pretty, in pieces: a run of a million steps is never built as one value.
  void write(FileSystem& fileSystem, const std::string& path) const;
};

}  // namespace diruri
