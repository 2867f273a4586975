// JSON forms of the store's records: session.json, log lines and summary.json.
#include "core/store/event_records.hpp"

namespace diruri {

namespace {

JsonArray stringArray(const std::vector<std::string>& strings) {
  JsonArray a;
  a.reserve(strings.size());
  for (const std::string& s : strings) a.emplace_back(s);
  return a;
}

}  // namespace

JsonValue SessionMetadata::toJson() const {
  JsonObject o;
  o.emplace("sessionId", sessionId);
  o.emplace("workspaceId", workspaceId);
  o.emplace("startedAt", startedAt);
  putOptional(o, "stoppedAt", stoppedAt);
  o.emplace("status", status);
  o.emplace("platform", platform);
  o.emplace("helperVersion", helperVersion);
  o.emplace("eventsPath", eventsPath);
  o.emplace("metadataVersion", JsonValue(static_cast<long long>(metadataVersion)));
  return o;
}

SessionMetadata SessionMetadata::fromJson(const JsonValue& v) {
  if (!v.isObject()) throw JsonParseError("session metadata is not an object");
  SessionMetadata m;
  m.sessionId = requireString(v, "sessionId");
  m.workspaceId = requireString(v, "workspaceId");
  m.startedAt = requireString(v, "startedAt");
  if (const JsonValue* stopped = v.find("stoppedAt"); stopped && !stopped->isNull()) {
    if (!stopped->isString()) throw JsonParseError("mistyped \"stoppedAt\"");
    m.stoppedAt = stopped->asString();
  }
  m.status = requireString(v, "status");
  m.platform = requireString(v, "platform");
  m.helperVersion = requireString(v, "helperVersion");
  m.eventsPath = requireString(v, "eventsPath");
  const JsonValue* version = v.find("metadataVersion");
  const auto integral = version && version->isNumber() ? version->asIntegral() : std::nullopt;
  if (!integral) throw JsonParseError("missing or mistyped \"metadataVersion\"");
  m.metadataVersion = *integral;
  return m;
}

JsonValue RecordingSummaryStep::toJson() const {
  JsonObject o;
  o.emplace("index", JsonValue(static_cast<long long>(index)));
  o.emplace("intent", intent);
  o.emplace("evidenceEventIds", stringArray(evidenceEventIds));
  return o;
}

JsonValue SensitiveHint::toJson() const {
  return JsonObject{{"evidenceEventIds", stringArray(evidenceEventIds)}, {"reason", reason}};
}

JsonValue RecordingSummary::toJson() const {
  JsonObject o;
  o.emplace("sessionId", sessionId);
  o.emplace("apps", stringArray(apps));
  o.emplace("windows", stringArray(windows));
  JsonArray stepArray;
  stepArray.reserve(steps.size());
  for (const RecordingSummaryStep& s : steps) stepArray.push_back(s.toJson());
  o.emplace("steps", std::move(stepArray));
  JsonArray hints;
  for (const SensitiveHint& hint : sensitiveHints) hints.push_back(hint.toJson());
  o.emplace("sensitiveHints", std::move(hints));
  o.emplace("recommendedSkillId", recommendedSkillId);
  return o;
}

}  // namespace diruri
