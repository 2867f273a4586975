// The store's records: session.json, the lines of events.jsonl and summary.json.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/records/front_app.hpp"

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

struct EventPayload {
  std::string sessionId;
  std::optional<ForegroundAppSnapshot> app;
  std::optional<double> x;
  std::optional<double> y;
  std::optional<int64_t> keyCode;
  std::optional<int64_t> keysym;
  std::optional<std::string> text;
  std::optional<WindowGeometry> window;  // mouse events: the front window at that moment
  std::optional<int64_t> scrollY;
  std::optional<std::string> screenshotPath;
  std::optional<bool> screenshotOk;
  std::optional<std::string> axSnapshotPath;
  // Clicks: the element under the pointer. Redacted keys: the password field they went to.
  std::optional<ElementTarget> target;
  // A key typed into a password field: its key code, keysym and text are not kept.
  bool redacted = false;
  // A click seen only by its meaning (an element activated), not by the pointer: its point is the
  // element's middle.
  bool inferred = false;

  JsonValue toJson() const;
};

// One line of events.jsonl.
struct RecordingEvent {
  std::string id;
  std::string ts;
  int64_t monotonicMs = 0;
  std::string type;
  EventPayload payload;

  JsonValue toJson() const;
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
