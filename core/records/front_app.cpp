// JSON form of the front-application record and the accessibility snapshot.
#include "core/records/front_app.hpp"

namespace diruri {

namespace {

// Missing or null is absent; any other non-string kind is an error.
std::optional<std::string> optionalString(const JsonValue& obj, const char* key) {
  const JsonValue* v = obj.find(key);
  if (!v || v->isNull()) return std::nullopt;
  if (!v->isString()) throw JsonParseError(std::string("mistyped \"") + key + "\"");
  return v->asString();
}

}  // namespace

JsonValue ForegroundAppSnapshot::toJson() const {
  JsonObject o;
  putOptional(o, "bundleId", bundleId);
  o.emplace("appName", appName);
  o.emplace("processId", static_cast<int>(processId));
  putOptional(o, "windowTitle", windowTitle);
  return o;
}

ForegroundAppSnapshot ForegroundAppSnapshot::fromJson(const JsonValue& v) {
  if (!v.isObject()) throw JsonParseError("app is not an object");
  ForegroundAppSnapshot s;
  s.bundleId = optionalString(v, "bundleId");
  s.appName = requireString(v, "appName");
  const JsonValue* pid = v.find("processId");
  const auto id = pid && pid->isNumber() ? pid->asIntegral() : std::nullopt;
  if (!id || *id < INT32_MIN || *id > INT32_MAX) throw JsonParseError("missing or mistyped \"processId\"");
  s.processId = static_cast<int32_t>(*id);
  s.windowTitle = optionalString(v, "windowTitle");
  return s;
}

JsonValue WindowGeometry::toJson() const {
  return JsonObject{{"x", x}, {"y", y}, {"width", width}, {"height", height}};
}

WindowGeometry WindowGeometry::fromJson(const JsonValue& v) {
  const auto member = [&v](const char* key) {
    const JsonValue* m = v.find(key);
    const auto i = m && m->isNumber() ? m->asIntegral() : std::nullopt;
    if (!i || *i < INT32_MIN || *i > INT32_MAX)
      throw JsonParseError(std::string("missing or mistyped \"") + key + "\"");
    return static_cast<int32_t>(*i);
  };
  if (!v.isObject()) throw JsonParseError("window is not an object");
  return WindowGeometry{member("x"), member("y"), member("width"), member("height")};
}

JsonValue AccessibilitySnapshot::toJson() const {
  JsonObject o;
  o.emplace("app", app.toJson());
  putOptional(o, "focusedWindowRole", focusedWindowRole);
  putOptional(o, "focusedElementRole", focusedElementRole);
  putOptional(o, "focusedElementTitle", focusedElementTitle);
  o.emplace("capturedAt", capturedAt);
  return o;
}

AccessibilitySnapshot AccessibilitySnapshot::fromJson(const JsonValue& v) {
  if (!v.isObject()) throw JsonParseError("snapshot is not an object");
  const JsonValue* app = v.find("app");
  if (!app) throw JsonParseError("missing \"app\"");
  AccessibilitySnapshot s;
  s.app = ForegroundAppSnapshot::fromJson(*app);
  s.focusedWindowRole = optionalString(v, "focusedWindowRole");
  s.focusedElementRole = optionalString(v, "focusedElementRole");
  s.focusedElementTitle = optionalString(v, "focusedElementTitle");
  s.capturedAt = requireString(v, "capturedAt");
  return s;
}

}  // namespace diruri
