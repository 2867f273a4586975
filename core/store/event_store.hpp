// The session store: session directories, session.json, the event log and the summary.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/file_system.hpp"
#include "core/store/event_records.hpp"

namespace diruri {

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
  explicit EventStore(FileSystem& fileSystem, Clock& clock = systemClock());

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

  // The log's events, in file order, as the store reads and would write them; never fails.
  std::vector<JsonObject> readEventObjects(const RecordingSession& session);

  // Appends "session_stopped", rewrites session.json ("stopped") and writes summary.json.
  // Returns the stopped session and the absolute path of summary.json.
  std::pair<RecordingSession, std::string> stopSession(const RecordingSession& session);

  FileSystem& fileSystem() { return fileSystem_; }
  // Writes a snapshot file (pretty JSON) atomically, creating missing parent directories. Throws
  // the file-system or encoding error.
  void writeSnapshot(const AccessibilitySnapshot& snapshot, const std::string& path);
  Clock& clock() { return clock_; }

  // Lowercased a-z, 0-9 and single hyphens, at most 48 characters; may be empty.
  static std::string slug(const std::optional<std::string>& text);

 private:
  std::string makeSessionId(const std::optional<std::string>& sessionName, int64_t wallMillis);
  void writeSessionMetadata(const RecordingSession& session, const std::string& status);
  std::string writeSummary(const RecordingSession& session);

  FileSystem& fileSystem_;
  Clock& clock_;
};

// The slug of the workspace directory's name; "workspace" when that slug is empty (as for "/").
std::string workspaceIdentifier(const std::string& absoluteWorkspacePath);

}  // namespace diruri
