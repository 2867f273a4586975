// Reading a skill's recording and choosing which logged events to post again.
#include "core/replay/semantic_replayer.hpp"

#include <limits>
#include <optional>

#include "core/platform/path.hpp"
#include "core/store/event_store.hpp"
#include "core/text/unicode.hpp"

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

SemanticReplayResult SemanticReplayer::replay(const std::string& workspacePath,
                                              const std::string& skillId) {
  const std::string workspace = absoluteDirectoryPath(workspacePath, fileManager_.currentDirectory());
  const std::string referencePath =
      joinPath(joinPath(joinPath(joinPath(joinPath(workspace, ".zeruva"), "skills"), skillId), "references"),
               "recording.json");
  const JsonValue reference = parseJson(fileManager_.readFile(referencePath));
  const std::string* sessionId = reference.findString("sessionId");
  // A session name that is not a plain file name would make the log path leave the sessions folder.
  if (!reference.isObject() || !sessionId || !isPlainPathComponent(*sessionId)) {
    throw SemanticReplayerError(SemanticReplayerError::Code::invalidRecording);
  }
  const std::string logPath = joinPath(
      joinPath(joinPath(joinPath(joinPath(workspace, ".zeruva"), "record-and-replay"), "sessions"), *sessionId),
      "events.jsonl");
  const std::vector<JsonObject> lines = readJsonLines(logPath);

  // Reporting steps that were never posted would be a failure dressed as success.
  if (!poster_.begin()) {
    poster_.end();
    throw SemanticReplayerError(SemanticReplayerError::Code::posterUnavailable);
  }
  SemanticReplayResult result;
  for (const JsonObject& line : lines) {
    if (line.empty()) continue;
    const auto type = line.find("type");
    if (type == line.end() || !type->second.isString()) continue;
    const auto payload = line.find("payload");
    if (payload == line.end() || !payload->second.isObject()) continue;
    if (!replayLowLevelEvent(type->second.asString(), payload->second.asObject())) continue;
    const auto id = line.find("id");
    result.steps.push_back({{"eventId", id != line.end() && id->second.isString() ? id->second.asString() : ""},
                            {"type", type->second.asString()},
                            {"status", "replayed"}});
  }
  poster_.end();
  return result;
}

std::vector<JsonObject> SemanticReplayer::readJsonLines(const std::string& path) {
  const std::string text = fileManager_.readFile(path);
  if (!isValidUtf8(text)) throw FileSystemError(EILSEQ, "read UTF-8 text", path);
  std::vector<JsonObject> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      JsonValue value = parseJson(std::string_view(text).substr(start, end - start));
      if (value.isObject()) {
        lines.push_back(std::move(value.asObject()));
      } else if (value.isArray()) {
        lines.emplace_back();  // kept as an empty line, which the replay passes over
      } else {
        throw JsonParseError("log line is not an object or an array");
      }
    }
    start = end + 1;
  }
  return lines;
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
