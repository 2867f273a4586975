// Reading a skill's recording and choosing which logged events to post again.
#include "core/replay/semantic_replayer.hpp"

#include <limits>
#include <optional>

#include "core/platform/path.hpp"
#include "core/store/event_log.hpp"
#include "core/store/workspace_layout.hpp"

namespace diruri {

namespace {

struct Point {
  double x;
  double y;
};

std::optional<Point> point(const JsonObject& payload) {
  const auto x = payload.find("x");
  const auto y = payload.find("y");
  if (x == payload.end() || y == payload.end() || !x->second.isNumber() || !y->second.isNumber()) {
    return std::nullopt;
  }
  return Point{x->second.asDouble(), y->second.asDouble()};
}

std::optional<int64_t> integral(const JsonObject& payload, const char* key) {
  const auto it = payload.find(key);
  if (it == payload.end() || !it->second.isNumber()) return std::nullopt;
  return it->second.asIntegral();
}

}  // namespace

SemanticReplayResult SemanticReplayer::replay(const std::string& workspacePath, const std::string& skillId) {
  const std::string workspace = layout::absoluteWorkspace(fileManager_, workspacePath);
  const std::string referencePath =
      layout::skillRecordingReference(layout::skillDirectory(workspace, skillId));
  const JsonValue reference = parseJson(fileManager_.readFile(referencePath));
  const std::string* sessionId = reference.findString("sessionId");
  // A session name that is not a plain file name would make the log path leave the sessions folder.
  if (!reference.isObject() || !sessionId || !isPlainPathComponent(*sessionId)) {
    throw SemanticReplayerError(SemanticReplayerError::Code::invalidRecording);
  }
  std::vector<JsonObject> lines;
  readEventLog(fileManager_, joinPath(layout::sessionDirectory(workspace, *sessionId), layout::kEventsFile),
               LogReading::Strict, [&](JsonObject& line) { lines.push_back(std::move(line)); });

  // Reporting steps that were never posted would be a failure dressed as success.
  if (!poster_.begin()) {
    poster_.end();
    throw SemanticReplayerError(SemanticReplayerError::Code::posterUnavailable);
  }
  SemanticReplayResult result;
  for (const JsonObject& line : lines) {
    const auto type = line.find("type");
    if (type == line.end() || !type->second.isString()) continue;
    const auto payload = line.find("payload");
    if (payload == line.end() || !payload->second.isObject()) continue;
    if (!replayLowLevelEvent(type->second.asString(), payload->second.asObject())) continue;
    const auto id = line.find("id");
    result.steps.push_back(
        {{"eventId", id != line.end() && id->second.isString() ? id->second.asString() : ""},
         {"type", type->second.asString()},
         {"status", "replayed"}});
  }
  poster_.end();
  return result;
}

bool SemanticReplayer::replayLowLevelEvent(const std::string& type, const JsonObject& payload) {
  if (type == "mouse_down" || type == "mouse_up") {
    const auto p = point(payload);
    return p && poster_.postMouse(p->x, p->y, type == "mouse_down");
  }
  if (type == "key_down" || type == "key_up") {
    const auto code = integral(payload, "keyCode");
    return code && poster_.postKey(*code, type == "key_down");
  }
  if (type == "scroll") {
    const auto amount = integral(payload, "scrollY");
    if (!amount || *amount < std::numeric_limits<int32_t>::min() ||
        *amount > std::numeric_limits<int32_t>::max()) {
      return false;
    }
    return poster_.postScroll(*amount);
  }
  return false;
}

}  // namespace diruri
