// JSON form of the recorder's result records and of the run record.
#include "core/recorder/recorder_results.hpp"

namespace diruri {

namespace {

void putWarnings(JsonObject& o, const std::vector<std::string>& warnings) {
  if (!warnings.empty()) o.emplace("warnings", JsonArray(warnings.begin(), warnings.end()));
}

}  // namespace

JsonValue RecorderStartResult::toJson() const {
  JsonObject o{{"status", status},
               {"sessionId", sessionId},
               {"sessionPath", sessionPath},
               {"inputCaptureActive", inputCaptureActive},
               {"accessibilityTrusted", accessibilityTrusted},
               {"screenCaptureAllowed", screenCaptureAllowed},
               {"startScreenshotOk", startScreenshotOk}};
  putOptional(o, "error", error);
  putWarnings(o, warnings);
  return o;
}

JsonValue RecorderStatusResult::toJson() const {
  JsonObject o{{"status", status},
               {"inputCaptureActive", inputCaptureActive},
               {"accessibilityTrusted", accessibilityTrusted},
               {"screenCaptureAllowed", screenCaptureAllowed}};
  putOptional(o, "sessionId", sessionId);
  putOptional(o, "sessionPath", sessionPath);
  putWarnings(o, warnings);
  return o;
}

JsonValue RecorderStopResult::toJson() const {
  JsonObject o{{"status", status}};
  putOptional(o, "sessionId", sessionId);
  putOptional(o, "summaryPath", summaryPath);
  return o;
}

JsonValue RecorderReplayResult::toJson() const {
  // An agent reads the answer whole: a long recording lists its first steps and the one that
  // failed, with counts of all; run.json keeps every step.
  std::map<std::string, long long> counts;
  JsonArray listed;
  size_t omitted = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    const std::string stepStatus(replayStatusName(steps[i].status));
    ++counts[stepStatus];
    if (i < kStepsListed || steps[i].status == ReplayStep::Status::kFailed) {
      JsonValue s = steps[i].toJson();
      if (i >= kStepsListed) s.asObject().emplace("index", JsonValue(static_cast<long long>(i)));
      listed.push_back(std::move(s));
    } else {
      ++omitted;
    }
  }
  JsonObject countsJson;
  for (const auto& [stepStatus, n] : counts) countsJson.emplace(stepStatus, JsonValue(n));
  JsonObject o{{"runId", runId},
               {"runPath", runPath},
               {"status", status},
               {"steps", std::move(listed)},
               {"stepCounts", std::move(countsJson)}};
  if (omitted > 0) o.emplace("stepsOmitted", JsonValue(static_cast<long long>(omitted)));
  o.emplace("checks", JsonObject{{"passed", JsonValue(static_cast<long long>(checksPassed))},
                                 {"failed", JsonValue(static_cast<long long>(checksFailed))}});
  o.emplace("verified", verified);
  if (handover) o.emplace("handover", *handover);
  return o;
}

JsonValue RecorderPermissionResult::toJson() const {
  return JsonObject{{"accessibilityTrusted", accessibilityTrusted},
                    {"screenCaptureAllowed", screenCaptureAllowed},
                    {"inputCaptureActive", inputCaptureActive}};
}

JsonObject ReplayRunMetadata::head() const {
  JsonArray shots(screenshots.begin(), screenshots.end());
  JsonObject o{{"runId", runId},     {"skillId", skillId}, {"startedAt", startedAt},
               {"endedAt", endedAt}, {"status", status},   {"screenshots", std::move(shots)}};
  o.emplace("checks", JsonObject{{"passed", JsonValue(static_cast<long long>(checksPassed))},
                                 {"failed", JsonValue(static_cast<long long>(checksFailed))}});
  o.emplace("verified", verified);
  if (handover) o.emplace("handover", *handover);
  return o;
}

void ReplayRunMetadata::write(FileSystem& fileSystem, const std::string& path) const {
  const JsonObject first = head();
  fileSystem.writeFileAtomicallyInPieces(path, [&](const auto& write) {
    size_t next = 0;
    writeJsonWithArray(
        first, "steps",
        [&]() -> std::optional<JsonValue> {
          if (next == steps.size()) return std::nullopt;
          return steps[next++].toJson();
        },
        JsonLayout::Pretty, write);
  });
}

}  // namespace diruri
