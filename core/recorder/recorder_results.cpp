// JSON form of the recorder's result records and of the run record.
#include "core/recorder/recorder_results.hpp"

namespace diruri {

JsonValue RecorderStartResult::toJson() const {
  JsonObject o{{"status", status},
               {"sessionId", sessionId},
               {"sessionPath", sessionPath},
               {"inputCaptureActive", inputCaptureActive},
               {"accessibilityTrusted", accessibilityTrusted},
               {"screenCaptureAllowed", screenCaptureAllowed},
               {"startScreenshotOk", startScreenshotOk}};
  putOptional(o, "error", error);
  return o;
}

JsonValue RecorderStatusResult::toJson() const {
  JsonObject o{{"status", status},
               {"inputCaptureActive", inputCaptureActive},
               {"accessibilityTrusted", accessibilityTrusted},
               {"screenCaptureAllowed", screenCaptureAllowed}};
  putOptional(o, "sessionId", sessionId);
  putOptional(o, "sessionPath", sessionPath);
  return o;
}

JsonValue RecorderStopResult::toJson() const {
  JsonObject o{{"status", status}};
  putOptional(o, "sessionId", sessionId);
  putOptional(o, "summaryPath", summaryPath);
  return o;
}

namespace {

JsonArray stepsJson(const std::vector<std::map<std::string, std::string>>& steps) {
  JsonArray out;
  out.reserve(steps.size());
  for (const auto& step : steps) {
    JsonObject s;
    for (const auto& [key, value] : step) s.emplace(key, value);
    out.emplace_back(std::move(s));
  }
  return out;
}

}  // namespace

JsonValue RecorderReplayResult::toJson() const {
  return JsonObject{{"runId", runId}, {"runPath", runPath}, {"status", status}, {"steps", stepsJson(steps)}};
}

JsonValue RecorderPermissionResult::toJson() const {
  return JsonObject{{"accessibilityTrusted", accessibilityTrusted},
                    {"screenCaptureAllowed", screenCaptureAllowed},
                    {"inputCaptureActive", inputCaptureActive}};
}

JsonValue ReplayRunMetadata::toJson() const {
  JsonArray shots(screenshots.begin(), screenshots.end());
  return JsonObject{
      {"runId", runId},   {"skillId", skillId},        {"startedAt", startedAt},         {"endedAt", endedAt},
      {"status", status}, {"steps", stepsJson(steps)}, {"screenshots", std::move(shots)}};
}

}  // namespace diruri
