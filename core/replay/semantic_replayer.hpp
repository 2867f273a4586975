// Replays a recorded session: finds it through a skill's reference file and posts its input events.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/platform/file_system.hpp"
#include "core/replay/event_poster.hpp"

namespace diruri {

struct SemanticReplayResult {
  // One map per posted event, in log order: "eventId", "type", "status" ("replayed").
  std::vector<std::map<std::string, std::string>> steps;
};

class SemanticReplayerError : public std::runtime_error {
 public:
  enum class Code {
    invalidRecording,   // the reference file does not name a session
    posterUnavailable,  // no event poster can be reached, so nothing could be replayed
  };
  explicit SemanticReplayerError(Code code)
      : std::runtime_error(code == Code::invalidRecording ? "invalidRecording" : "posterUnavailable"),
        code_(code) {}
  Code code() const { return code_; }

 private:
  Code code_;
};

class SemanticReplayer {
 public:
  SemanticReplayer(FileSystem& fileManager, EventPoster& poster)
      : fileManager_(fileManager), poster_(poster) {}

  // Reads <workspace>/.zeruva/skills/<skillId>/references/recording.json, then the named session's
  // events.jsonl, and posts every usable input event. Throws the read or parse error, or
  // SemanticReplayerError, before anything is posted; once posting has begun nothing is thrown.
  SemanticReplayResult replay(const std::string& workspacePath, const std::string& skillId);

 private:
  bool replayLowLevelEvent(const std::string& type, const JsonObject& payload);

  FileSystem& fileManager_;
  EventPoster& poster_;
};

}  // namespace diruri
