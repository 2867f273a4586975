// Log lines to typed events and back: every member named once, with its kind and range.
#include "core/records/recording_event.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "core/text/unicode.hpp"

namespace diruri {

namespace {

constexpr std::array<std::pair<EventType, std::string_view>, 10> kTypeNames = {{
    {EventType::kSessionStarted, "session_started"},
    {EventType::kSessionStopped, "session_stopped"},
    {EventType::kScreenshotCaptured, "screenshot_captured"},
    {EventType::kAxSnapshot, "ax_snapshot"},
    {EventType::kCaptureLost, "user_marker"},
    {EventType::kMouseDown, "mouse_down"},
    {EventType::kMouseUp, "mouse_up"},
    {EventType::kKeyDown, "key_down"},
    {EventType::kKeyUp, "key_up"},
    {EventType::kScroll, "scroll"},
}};

// Reads the members of one object, each on its own; what it cannot read stays in `others` as it
// was, and the first such member is described once.
class MemberReader {
 public:
  // Reads `object`, moving out of it what it takes.
  MemberReader(JsonObject& object, JsonObject& others, std::string* problem)
      : object_(object), others_(others), problem_(problem) {}

  // A member taken: it is not one of the others.
  JsonValue* take(std::string_view key) {
    const auto it = object_.find(key);
    if (it == object_.end()) return nullptr;
    taken_.push_back(key);
    return &it->second;
  }
  // The members not taken become the others. Copied only now, so that a line of known members
  // only is never copied.
  void finish() {
    for (const auto& [key, value] : object_) {
      if (std::find(taken_.begin(), taken_.end(), key) == taken_.end())
        others_.emplace(key, std::move(value));
    }
  }
  // A member not taken after all (of the wrong kind), kept as it was and described.
  void refuse(std::string_view key, const JsonValue& value, const std::string& wanted) {
    others_.emplace(std::string(key), value);
    describe("its " + std::string(key) + " is " + cleanData(writeJson(value), 60) + ", not " + wanted);
  }
  void describe(const std::string& what) {
    if (problem_ && problem_->empty()) *problem_ = what;
  }

  std::optional<std::string> string(std::string_view key) {
    JsonValue* v = take(key);
    if (!v) return std::nullopt;
    if (!v->isString()) {
      refuse(key, *v, "a string");
      return std::nullopt;
    }
    return std::move(v->asString());
  }
  std::optional<int64_t> integer(std::string_view key, int64_t low, int64_t high) {
    const JsonValue* v = take(key);
    if (!v) return std::nullopt;
    const std::optional<int64_t> i = v->isNumber() ? v->asIntegral() : std::nullopt;
    if (!i || *i < low || *i > high) {
      refuse(key, *v, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
      return std::nullopt;
    }
    return i;
  }
  std::optional<double> number(std::string_view key) {
    const JsonValue* v = take(key);
    if (!v) return std::nullopt;
    if (!v->isNumber() || !std::isfinite(v->asDouble())) {
      refuse(key, *v, "a number");
      return std::nullopt;
    }
    return v->asDouble();
  }
  // A flag written only when true: false, as a hand-written line may say, is kept as it was.
  bool flag(std::string_view key) {
    const JsonValue* v = take(key);
    if (!v) return false;
    if (!v->isBool()) {
      refuse(key, *v, "true or false");
      return false;
    }
    if (!v->asBool()) others_.emplace(std::string(key), *v);
    return v->asBool();
  }
  std::optional<bool> boolean(std::string_view key) {
    const JsonValue* v = take(key);
    if (!v) return std::nullopt;
    if (!v->isBool()) {
      refuse(key, *v, "true or false");
      return std::nullopt;
    }
    return v->asBool();
  }
  // A member that is a record of its own, read by `parse` (which throws JsonParseError).
  template <typename Record, typename Parse>
  std::optional<Record> record(std::string_view key, Parse parse, const char* wanted) {
    const JsonValue* v = take(key);
    if (!v) return std::nullopt;
    try {
      return parse(*v);
    } catch (const JsonParseError&) {
      refuse(key, *v, wanted);
      return std::nullopt;
    }
  }

 private:
  JsonObject& object_;
  JsonObject& others_;
  std::string* problem_;
  std::vector<std::string_view> taken_;
};

// The application of an event: taken wherever it has a name, so that readers that only want the
// name (the summary) find it; a process id or title of the wrong kind is described all the same.
std::optional<ForegroundAppSnapshot> readApp(MemberReader& in) {
  JsonValue* v = in.take("app");
  if (!v) return std::nullopt;
  if (!v->isObject()) {
    in.refuse("app", *v, "an application");
    return std::nullopt;
  }
  JsonObject* app = &v->asObject();
  ForegroundAppSnapshot snapshot;
  if (const auto name = app->find(std::string_view("appName"));
      name != app->end() && name->second.isString()) {
    snapshot.appName = std::move(name->second.asString());
  } else {
    in.describe("its app has no appName");
  }
  const JsonValue* pid = findMember(*app, "processId");
  const std::optional<int64_t> id = pid && pid->isNumber() ? pid->asIntegral() : std::nullopt;
  if (id && *id >= INT32_MIN && *id <= INT32_MAX) {
    snapshot.processId = static_cast<int32_t>(*id);
  } else {
    in.describe("its app's processId is " + (pid ? cleanData(writeJson(*pid), 60) : std::string("missing")) +
                ", not a whole number, so the window it went to is not known");
  }
  for (const auto& [key, field] :
       {std::pair{"bundleId", &snapshot.applicationId}, {"windowTitle", &snapshot.windowTitle}}) {
    const auto it = app->find(std::string_view(key));
    JsonValue* member = it == app->end() ? nullptr : &it->second;
    if (!member || member->isNull()) continue;
    if (member->isString()) {
      *field = std::move(member->asString());
    } else {
      in.describe("its app's " + std::string(key) + " is " + cleanData(writeJson(*member), 60) +
                  ", not a string");
    }
  }
  return snapshot;
}

}  // namespace

std::string_view eventTypeName(EventType type) {
  for (const auto& [t, name] : kTypeNames)
    if (t == type) return name;
  return {};
}

EventType eventTypeNamed(std::string_view name) {
  for (const auto& [t, n] : kTypeNames)
    if (n == name) return t;
  return EventType::kOther;
}

RecordingEvent RecordingEvent::of(EventType kind) {
  RecordingEvent event;
  event.kind = kind;
  event.type = std::string(eventTypeName(kind));
  return event;
}

JsonValue EventPayload::toJson() const {
  JsonObject o = others;
  o.emplace("sessionId", sessionId);
  if (app) o.emplace("app", app->toJson());
  if (x) o.emplace("x", *x);
  if (y) o.emplace("y", *y);
  if (keyCode) o.emplace("keyCode", JsonValue(static_cast<long long>(*keyCode)));
  if (keysym) o.emplace("keysym", JsonValue(static_cast<long long>(*keysym)));
  putOptional(o, "text", text);
  if (window) o.emplace("window", window->toJson());
  if (scrollY) o.emplace("scrollY", JsonValue(static_cast<long long>(*scrollY)));
  putOptional(o, "screenshotPath", screenshotPath);
  if (screenshotOk) o.emplace("screenshotOk", *screenshotOk);
  putOptional(o, "axSnapshotPath", axSnapshotPath);
  if (target) o.emplace("target", target->toJson());
  if (redacted) o.emplace("redacted", true);
  if (inferred) o.emplace("inferred", true);
  return o;
}

JsonValue RecordingEvent::toJson() const {
  JsonObject o = others;
  o.emplace("id", id);
  o.emplace("ts", ts);
  if (monotonicMs) o.emplace("monotonicMs", JsonValue(static_cast<long long>(*monotonicMs)));
  o.emplace("type", type);
  o.emplace("payload", payload.toJson());
  return o;
}

RecordingEvent RecordingEvent::fromJson(const JsonObject& line, std::string* problem) {
  JsonObject copy = line;
  return fromJson(std::move(copy), problem);
}

RecordingEvent RecordingEvent::fromJson(JsonObject&& line, std::string* problem) {
  RecordingEvent event;
  if (problem) problem->clear();
  MemberReader top(line, event.others, problem);
  event.id = top.string("id").value_or("");
  event.ts = top.string("ts").value_or("");
  event.monotonicMs =
      top.integer("monotonicMs", std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
  if (const std::optional<std::string> type = top.string("type")) {
    event.type = *type;
    event.kind = eventTypeNamed(*type);
  }
  JsonValue* payload = top.take("payload");
  top.finish();
  if (!payload) return event;
  if (!payload->isObject()) {
    top.refuse("payload", *payload, "an object");
    return event;
  }
  EventPayload& p = event.payload;
  MemberReader in(payload->asObject(), p.others, problem);
  p.sessionId = in.string("sessionId").value_or("");
  p.app = readApp(in);
  p.window =
      in.record<WindowGeometry>("window", WindowGeometry::fromJson, "a window's x, y, width and height");
  p.x = in.number("x");
  p.y = in.number("y");
  p.keyCode = in.integer("keyCode", 0, 0xffff);
  // Keysyms are 29-bit: anything above names no key.
  p.keysym = in.integer("keysym", 0, 0x1fffffff);
  p.text = in.string("text");
  p.scrollY = in.integer("scrollY", std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
  p.screenshotPath = in.string("screenshotPath");
  p.screenshotOk = in.boolean("screenshotOk");
  p.axSnapshotPath = in.string("axSnapshotPath");
  p.target =
      in.record<ElementTarget>("target", ElementTarget::fromJson, "an element (role, name, path, bounds)");
  p.redacted = in.flag("redacted");
  p.inferred = in.flag("inferred");
  in.finish();
  return event;
}

}  // namespace diruri
