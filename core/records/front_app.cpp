// JSON form of the front-application record and the accessibility snapshot.
#include "core/records/front_app.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include "core/text/unicode.hpp"

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
  putOptional(o, "bundleId", applicationId);
  o.emplace("appName", appName);
  o.emplace("processId", static_cast<int>(processId));
  putOptional(o, "windowTitle", windowTitle);
  return o;
}

ForegroundAppSnapshot ForegroundAppSnapshot::fromJson(const JsonValue& v) {
  if (!v.isObject()) throw JsonParseError("app is not an object");
  ForegroundAppSnapshot s;
  s.applicationId = optionalString(v, "bundleId");
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

JsonValue ElementTarget::toJson() const {
  JsonObject o{{"role", role}};
  putOptional(o, "name", name);
  if (!path.empty()) {
    JsonArray steps;
    for (const ElementPathStep& step : path)
      steps.push_back(JsonObject{{"role", step.role}, {"index", step.index}});
    o.emplace("path", std::move(steps));
  }
  if (bounds) o.emplace("bounds", bounds->toJson());
  if (windowRelative) o.emplace("relative", "window");
  return o;
}

ElementTarget ElementTarget::fromJson(const JsonValue& v) {
  if (!v.isObject()) throw JsonParseError("target is not an object");
  ElementTarget target;
  target.role = requireString(v, "role");
  if (const JsonValue* name = v.find("name")) {
    if (!name->isString()) throw JsonParseError("mistyped \"name\"");
    target.name = name->asString();
  }
  if (const JsonValue* path = v.find("path")) {
    if (!path->isArray()) throw JsonParseError("mistyped \"path\"");
    for (const JsonValue& step : path->asArray()) {
      const JsonValue* index = step.find("index");
      const auto i = index && index->isNumber() ? index->asIntegral() : std::nullopt;
      if (!i || *i < 0 || *i > INT32_MAX) throw JsonParseError("missing or mistyped \"index\"");
      target.path.push_back({requireString(step, "role"), static_cast<int32_t>(*i)});
    }
  }
  if (const JsonValue* bounds = v.find("bounds")) target.bounds = WindowGeometry::fromJson(*bounds);
  const std::string* relative = v.findString("relative");
  target.windowRelative = relative && *relative == "window";
  return target;
}

std::optional<ElementTarget> ElementTarget::of(const JsonObject& payload) {
  const JsonValue* target = findMember(payload, "target");
  if (!target) return std::nullopt;
  try {
    return fromJson(*target);
  } catch (const JsonParseError&) {
    return std::nullopt;
  }
}

namespace {

// The role names the accessibility bus uses, sorted: these are words of the system's own. Any other
// role an application reports is its own text and is quoted like a name.
constexpr std::string_view kKnownRoles[] = {
    "accelerator label",
    "alert",
    "animation",
    "application",
    "arrow",
    "article",
    "audio",
    "autocomplete",
    "block quote",
    "calendar",
    "canvas",
    "caption",
    "chart",
    "check box",
    "check menu item",
    "color chooser",
    "column header",
    "combo box",
    "comment",
    "content deletion",
    "content insertion",
    "date editor",
    "definition",
    "description list",
    "description term",
    "description value",
    "desktop frame",
    "desktop icon",
    "dial",
    "dialog",
    "directory pane",
    "document email",
    "document frame",
    "document presentation",
    "document spreadsheet",
    "document text",
    "document web",
    "drawing area",
    "editbar",
    "embedded",
    "entry",
    "extended",
    "file chooser",
    "filler",
    "focus traversable",
    "font chooser",
    "footer",
    "footnote",
    "form",
    "frame",
    "glass pane",
    "grouping",
    "header",
    "heading",
    "html container",
    "icon",
    "image",
    "image map",
    "info bar",
    "input method window",
    "internal frame",
    "label",
    "landmark",
    "layered pane",
    "level bar",
    "link",
    "list",
    "list box",
    "list item",
    "log",
    "mark",
    "marquee",
    "math",
    "math fraction",
    "math root",
    "menu",
    "menu bar",
    "menu item",
    "notification",
    "option pane",
    "page",
    "page tab",
    "page tab list",
    "panel",
    "paragraph",
    "password text",
    "popup menu",
    "progress bar",
    "push button",
    "push button menu",
    "radio button",
    "radio menu item",
    "rating",
    "redundant object",
    "root pane",
    "row header",
    "ruler",
    "scroll bar",
    "scroll pane",
    "section",
    "separator",
    "slider",
    "spin button",
    "split pane",
    "static",
    "status bar",
    "subscript",
    "suggestion",
    "superscript",
    "table",
    "table cell",
    "table column header",
    "table row",
    "table row header",
    "tearoff menu item",
    "terminal",
    "text",
    "timer",
    "title bar",
    "toggle button",
    "tool bar",
    "tool tip",
    "tree",
    "tree item",
    "tree table",
    "unknown",
    "video",
    "viewport",
    "window",
};

}  // namespace

std::string describeRole(const std::string& role) {
  if (std::binary_search(std::begin(kKnownRoles), std::end(kKnownRoles), std::string_view(role))) return role;
  return quotedData(role, kLongestQuotedName);
}

std::string ElementTarget::describe() const {
  return (name ? quotedData(*name, kLongestQuotedName) + " " : std::string()) + describeRole(role);
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

bool sameWindowTitle(const std::string& recorded, const std::string& current) {
  if (recorded == current) return true;
  // Titles name a document and the application, in some order, between separators like these.
  static const std::string_view kSeparators[] = {" - ", " \u2014 ", " \u2013 ", " | ", ": ", " \u00b7 "};
  const auto parts = [](std::string_view title) {
    std::vector<std::string_view> out;
    for (;;) {
      size_t at = std::string_view::npos;
      size_t length = 0;
      for (std::string_view separator : kSeparators) {
        const size_t found = title.find(separator);
        if (found < at) {
          at = found;
          length = separator.size();
        }
      }
      out.push_back(title.substr(0, at));
      if (at == std::string_view::npos) return out;
      title.remove_prefix(at + length);
    }
  };
  const std::vector<std::string_view> a = parts(recorded);
  const std::vector<std::string_view> b = parts(current);
  if (a.size() != b.size() || a.size() < 2) return false;
  size_t differing = 0;
  for (size_t i = 0; i < a.size(); ++i) differing += a[i] == b[i] ? 0 : 1;
  return differing <= 1;
}

bool isSameWindow(const ForegroundAppSnapshot& recorded, const ForegroundAppSnapshot& current) {
  const bool sameApplication = recorded.applicationId && current.applicationId
                                   ? *recorded.applicationId == *current.applicationId
                                   : recorded.appName == current.appName;
  if (!sameApplication) return false;
  if (!recorded.windowTitle) return true;
  return current.windowTitle && sameWindowTitle(*recorded.windowTitle, *current.windowTitle);
}

}  // namespace diruri
