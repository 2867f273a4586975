// The store's records: session.json and summary.json (the lines of events.jsonl are RecordingEvents).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/records/front_app.hpp"
#include "core/records/recording_event.hpp"

namespace diruri {

// The identity and paths of one recording.
struct RecordingSession {
  std::string sessionId;
  std::string workspaceId;
  std::string workspacePath;  // absolute
  std::string sessionPath;    // absolute
  std::string startedAt;
  std::optional<std::string> stoppedAt;

  bool operator==(const RecordingSession&) const = default;
};

// The content of session.json.
struct SessionMetadata {
  std::string sessionId;
  std::string workspaceId;
  std::string startedAt;
  std::optional<std::string> stoppedAt;
  std::string status;
  std::string platform;
  std::string helperVersion;
  std::string eventsPath;
  int64_t metadataVersion = 1;

  JsonValue toJson() const;
  // Throws JsonParseError when a required key is missing or mistyped.
  static SessionMetadata fromJson(const JsonValue& value);
};

struct RecordingSummaryStep {
  int64_t index = 0;
  std::string intent;
  std::vector<std::string> evidenceEventIds;

  JsonValue toJson() const;
};

// Events the summary points out as holding something secret that was left out.
struct SensitiveHint {
  std::vector<std::string> evidenceEventIds;
  std::string reason;

  JsonValue toJson() const;
};

// The content of summary.json.
struct RecordingSummary {
  std::string sessionId;
  std::vector<std::string> apps;
  std::vector<std::string> windows;
  std::vector<RecordingSummaryStep> steps;
  std::vector<SensitiveHint> sensitiveHints;
  std::string recommendedSkillId;

  JsonValue toJson() const;
};

}  // namespace diruri
