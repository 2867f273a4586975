// Log lines to typed events and back: every member named once, with its kind and range.
#include "core/records/recording_event.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "core/text/unicode.hpp"

namespace diruri {

namespace {

constexpr std::array<std::pair<EventType, std::string_view>, 12> kTypeNames = {{
    {EventType::kSessionStarted, "session_started"},
    {EventType::kSessionStopped, "session_stopped"},
    {EventType::kScreenshotCaptured, "screenshot_captured"},
    {EventType::kAxSnapshot, "ax_snapshot"},
    {EventType::kCaptureLost, "user_marker"},
    {EventType::kObservation, "observation"},
    {EventType::kMouseDown, "mouse_down"},
    {EventType::kMouseUp, "mouse_up"},
    {EventType::kMouseMove, "mouse_move"},
    {EventType::kKeyDown, "key_down"},
    {EventType::kKeyUp, "key_up"},
    {EventType::kScroll, "scroll"},
}};

// What a line holds that cannot be used, described once: the member first in reading order (the
// line's own members, then its payload's, each in the order fromJson names them) wins.
class Problems {
 public:
  explicit Problems(std::string* out) : out_(out) {
    if (out_) out_->clear();
  }
  void describe(int rank, const std::string& what) {
    if (!out_ || rank >= rank_) return;
    rank_ = rank;
    *out_ = what;
  }

 private:
  std::string* out_;
  int rank_ = std::numeric_limits<int>::max();
};

// Reads the members of one object in one pass, each on its own: what it does not know, or cannot
// read, stays in `others` as it was (moved there), and is described.
class MemberReader {
 public:
  MemberReader(JsonObject& others, Problems& problems) : others_(others), problems_(problems) {}

  // A member of the wrong kind, kept as it was and described.
  void refuse(int rank, const std::string& key, JsonValue& value, const std::string& wanted) {
    problems_.describe(rank, "its " + key + " is " + cleanData(writeJson(value), 60) + ", not " + wanted);
    others_.emplace(key, std::move(value));
  }
  void keep(const std::string& key, JsonValue& value) { others_.emplace(key, std::move(value)); }
  void describe(int rank, const std::string& what) { problems_.describe(rank, what); }

  std::optional<std::string> string(int rank, const std::string& key, JsonValue& v) {
    if (!v.isString()) {
      refuse(rank, key, v, "a string");
      return std::nullopt;
    }
    return std::move(v.asString());
  }
  std::optional<int64_t> integer(int rank, const std::string& key, JsonValue& v, int64_t low, int64_t high) {
    const std::optional<int64_t> i = v.isNumber() ? v.asIntegral() : std::nullopt;
    if (!i || *i < low || *i > high) {
      refuse(rank, key, v, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
      return std::nullopt;
    }
    return i;
  }
  std::optional<double> number(int rank, const std::string& key, JsonValue& v) {
    if (!v.isNumber() || !std::isfinite(v.asDouble())) {
      refuse(rank, key, v, "a number");
      return std::nullopt;
    }
    return v.asDouble();
  }
  // Whole numbers from `low` to `high`, in a list.
  std::optional<std::vector<int64_t>> integers(int rank, const std::string& key, JsonValue& v, int64_t low,
                                               int64_t high) {
    std::vector<int64_t> out;
    if (v.isArray()) {
      for (const JsonValue& item : v.asArray()) {
        const std::optional<int64_t> i = item.isNumber() ? item.asIntegral() : std::nullopt;
        if (!i || *i < low || *i > high) break;
        out.push_back(*i);
      }
    }
    if (!v.isArray() || out.size() != v.asArray().size()) {
      refuse(rank, key, v,
             "a list of whole numbers from " + std::to_string(low) + " to " + std::to_string(high));
      return std::nullopt;
    }
    return out;
  }
  // A flag written only when true: false, as a hand-written line may say, is kept as it was.
  bool flag(int rank, const std::string& key, JsonValue& v) {
    if (v.isBool() && !v.asBool()) {
      keep(key, v);
      return false;
    }
    return boolean(rank, key, v).value_or(false);
  }
  std::optional<bool> boolean(int rank, const std::string& key, JsonValue& v) {
    if (!v.isBool()) {
      refuse(rank, key, v, "true or false");
      return std::nullopt;
    }
    return v.asBool();
  }
  // A member that is a record of its own, read by `parse` (which throws JsonParseError).
  template <typename Record, typename Parse>
  std::optional<Record> record(int rank, const std::string& key, JsonValue& v, Parse parse,
                               const char* wanted) {
    try {
      return parse(v);
    } catch (const JsonParseError&) {
      refuse(rank, key, v, wanted);
      return std::nullopt;
    }
  }

 private:
  JsonObject& others_;
  Problems& problems_;
};

// The application of an event: taken wherever it has a name, so that readers that only want the
// name (the summary) find it; a process id or title of the wrong kind is described all the same.
std::optional<ForegroundAppSnapshot> readApp(MemberReader& in, int rank, const std::string& key,
                                             JsonValue& v) {
  if (!v.isObject()) {
    in.refuse(rank, key, v, "an application");
    return std::nullopt;
  }
  JsonObject* app = &v.asObject();
  ForegroundAppSnapshot snapshot;
  if (const auto name = app->find(std::string_view("appName"));
      name != app->end() && name->second.isString()) {
    snapshot.appName = std::move(name->second.asString());
  } else {
    in.describe(rank, "its app has no appName");
  }
  const JsonValue* pid = findMember(*app, "processId");
  const std::optional<int64_t> id = pid && pid->isNumber() ? pid->asIntegral() : std::nullopt;
  if (id && *id >= INT32_MIN && *id <= INT32_MAX) {
    snapshot.processId = static_cast<int32_t>(*id);
  } else {
    in.describe(rank, "its app's processId is " +
                          (pid ? cleanData(writeJson(*pid), 60) : std::string("missing")) +
                          ", not a whole number, so the window it went to is not known");
  }
  for (const auto& [name, field] :
       {std::pair{"bundleId", &snapshot.applicationId}, {"windowTitle", &snapshot.windowTitle}}) {
    const auto it = app->find(std::string_view(name));
    JsonValue* member = it == app->end() ? nullptr : &it->second;
    if (!member || member->isNull()) continue;
    if (member->isString()) {
      *field = std::move(member->asString());
    } else {
      in.describe(rank, "its app's " + std::string(name) + " is " + cleanData(writeJson(*member), 60) +
                            ", not a string");
    }
  }
  return snapshot;
}

// The payload's members, in the order their problems are told.
void readPayload(EventPayload& p, JsonObject& payload, Problems& problems) {
  MemberReader in(p.others, problems);
  constexpr int kFirst = 10;  // after the line's own members
  for (auto& [key, v] : payload) {
    if (key == "sessionId") {
      p.sessionId = in.string(kFirst, key, v).value_or("");
    } else if (key == "app") {
      p.app = readApp(in, kFirst + 1, key, v);
    } else if (key == "window") {
      p.window = in.record<WindowGeometry>(kFirst + 2, key, v, WindowGeometry::fromJson,
                                           "a window's x, y, width and height");
    } else if (key == "x") {
      p.x = in.number(kFirst + 3, key, v);
    } else if (key == "y") {
      p.y = in.number(kFirst + 4, key, v);
    } else if (key == "keyCode") {
      p.keyCode = in.integer(kFirst + 5, key, v, 0, 0xffff);
    } else if (key == "keysym") {
      // Keysyms are 29-bit: anything above names no key.
      p.keysym = in.integer(kFirst + 6, key, v, 0, 0x1fffffff);
    } else if (key == "text") {
      p.text = in.string(kFirst + 7, key, v);
    } else if (key == "scrollY") {
      p.scrollY = in.integer(kFirst + 8, key, v, std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max());
    } else if (key == "screenshotPath") {
      p.screenshotPath = in.string(kFirst + 9, key, v);
    } else if (key == "screenshotOk") {
      p.screenshotOk = in.boolean(kFirst + 10, key, v);
    } else if (key == "axSnapshotPath") {
      p.axSnapshotPath = in.string(kFirst + 11, key, v);
    } else if (key == "target") {
      p.target = in.record<ElementTarget>(kFirst + 12, key, v, ElementTarget::fromJson,
                                          "an element (role, name, path, bounds)");
    } else if (key == "redacted") {
      p.redacted = in.flag(kFirst + 13, key, v);
    } else if (key == "inferred") {
      p.inferred = in.flag(kFirst + 14, key, v);
    } else if (key == "button") {
      p.button = in.integer(kFirst + 15, key, v, 1, 255);
    } else if (key == "buttons") {
      p.buttons = in.integers(kFirst + 16, key, v, 1, 255).value_or(std::vector<int64_t>{});
    } else if (key == "focus") {
      p.focus = in.record<ElementTarget>(kFirst + 19, key, v, ElementTarget::fromJson,
                                         "an element (role, name, path, bounds)");
    } else if (key == "observation") {
      p.observation = in.record<Observation>(kFirst + 18, key, v, Observation::fromJson,
                                             "an observation (kind, and what it saw)");
    } else if (key == "scrollX") {
      p.scrollX = in.integer(kFirst + 17, key, v, std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max());
    } else {
      in.keep(key, v);
    }
  }
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
  if (scrollX) o.emplace("scrollX", JsonValue(static_cast<long long>(*scrollX)));
  if (button) o.emplace("button", JsonValue(static_cast<long long>(*button)));
  if (!buttons.empty()) {
    JsonArray held;
    for (const int64_t b : buttons) held.emplace_back(static_cast<long long>(b));
    o.emplace("buttons", std::move(held));
  }
  putOptional(o, "screenshotPath", screenshotPath);
  if (screenshotOk) o.emplace("screenshotOk", *screenshotOk);
  putOptional(o, "axSnapshotPath", axSnapshotPath);
  if (target) o.emplace("target", target->toJson());
  if (redacted) o.emplace("redacted", true);
  if (inferred) o.emplace("inferred", true);
  if (observation) o.emplace("observation", observation->toJson());
  if (focus) o.emplace("focus", focus->toJson());
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
  Problems problems(problem);
  MemberReader top(event.others, problems);
  JsonValue* payload = nullptr;
  for (auto& [key, v] : line) {
    if (key == "id") {
      event.id = top.string(0, key, v).value_or("");
    } else if (key == "ts") {
      event.ts = top.string(1, key, v).value_or("");
    } else if (key == "monotonicMs") {
      event.monotonicMs =
          top.integer(2, key, v, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
    } else if (key == "type") {
      if (std::optional<std::string> type = top.string(3, key, v)) {
        event.kind = eventTypeNamed(*type);
        event.type = std::move(*type);
      }
    } else if (key == "payload") {
      if (v.isObject()) {
        payload = &v;
      } else {
        top.refuse(4, key, v, "an object");
      }
    } else {
      top.keep(key, v);
    }
  }
  if (payload) readPayload(event.payload, payload->asObject(), problems);
  return event;
}

}  // namespace diruri
