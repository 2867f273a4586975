// The session store: session directories, session.json, the event log and the summary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/capture/accessibility_inspecting.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/file_system.hpp"

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
  std::optional<int64_t> scrollY;
  std::optional<std::string> screenshotPath;
  std::optional<bool> screenshotOk;
  std::optional<std::string> axSnapshotPath;

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

// The content of summary.json.
struct RecordingSummary {
  std::string sessionId;
  std::vector<std::string> apps;
  std::vector<std::string> windows;
  std::vector<RecordingSummaryStep> steps;
  std::vector<std::string> sensitiveHints;
  std::string recommendedSkillId;

  JsonValue toJson() const;
};

// The encoded JSON was not valid UTF-8 text.
class EventStoreError : public std::runtime_error {
 public:
  enum class Code { encodingFailed };
  explicit EventStoreError(Code code) : std::runtime_error("encodingFailed"), code_(code) {}
  Code code() const { return code_; }

 private:
  Code code_;
};

// Holds no session state; every operation works from the RecordingSession it is given and the
// files on disk. Safe to call from several threads, but appends to one log must not overlap
// (the recorder controller serialises them).
class EventStore {
 public:
  explicit EventStore(FileSystem& fileManager, Clock& clock = systemClock());

  // Creates the session directory with screenshots/ and ax-snapshots/, session.json ("recording")
  // and the "session_started" line. Throws the file-system or encoding error.
  RecordingSession createSession(const std::string& workspacePath,
                                 const std::optional<std::string>& sessionName);

  // Rebuilds a session from its session.json. Throws when it is missing, unreadable or malformed,
  // and (FileSystemError EINVAL) for an identifier that is empty, "." or "..", or holds "/" or NUL.
  RecordingSession loadSession(const std::string& workspacePath, const std::string& sessionId);

  // Encodes the event as one compact line and appends it to the session's events.jsonl; the first
  // line creates the log atomically. Throws JsonEncodeError for a non-finite number, EventStoreError
  // when the text would not be UTF-8 (nothing written either way), or the file-system error.
  void appendEvent(const RecordingEvent& event, const RecordingSession& session);

  // The log's lines that parse as JSON objects, in file order; never fails.
  std::vector<JsonObject> readEventObjects(const RecordingSession& session);

  // Appends "session_stopped", rewrites session.json ("stopped") and writes summary.json.
  // Returns the stopped session and the absolute path of summary.json.
  std::pair<RecordingSession, std::string> stopSession(const RecordingSession& session);

  FileSystem& fileManager() { return fileManager_; }
  Clock& clock() { return clock_; }

  // Lowercased a-z, 0-9 and single hyphens, at most 48 characters; may be empty.
  static std::string slug(const std::optional<std::string>& text);

 private:
  std::string makeSessionId(const std::optional<std::string>& sessionName, int64_t wallMillis);
  void writeSessionMetadata(const RecordingSession& session, const std::string& status);
  std::string writeSummary(const RecordingSession& session);
  static std::vector<std::string> uniqueStrings(const std::vector<std::string>& strings);

  FileSystem& fileManager_;
  Clock& clock_;
};

// "/a/b" for "/a/b/", made absolute against currentDirectory when relative; "." and ".." stay.
std::string absoluteDirectoryPath(const std::string& path, const std::string& currentDirectory);

// The slug of the workspace directory's name; "workspace" when that slug is empty (as for "/").
std::string workspaceIdentifier(const std::string& absoluteWorkspacePath);

// Joins a directory path and a name with exactly one "/".
std::string joinPath(const std::string& directory, const std::string& name);

}  // namespace diruri
