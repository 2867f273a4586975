#include "core/records/observation.hpp"

#include <array>

namespace diruri {

namespace {

constexpr std::array<std::pair<Observation::Kind, std::string_view>, 4> kKinds = {{
    {Observation::Kind::kText, "text"},
    {Observation::Kind::kChecked, "checked"},
    {Observation::Kind::kWindow, "window"},
    {Observation::Kind::kFront, "front"},
}};

}  // namespace

bool isToggleRole(std::string_view role) {
  return role == "check box" || role == "radio button" || role == "toggle button" ||
         role == "check menu item" || role == "radio menu item" || role == "switch";
}

std::string_view observationKindName(Observation::Kind kind) {
  for (const auto& [k, name] : kKinds)
    if (k == kind) return name;
  return {};
}

JsonValue Observation::toJson() const {
  JsonObject o{{"kind", std::string(observationKindName(kind))}};
  if (element) o.emplace("element", element->toJson());
  putOptional(o, "text", text);
  if (cut) o.emplace("cut", true);
  if (notEmpty) o.emplace("notEmpty", true);
  if (checked) o.emplace("checked", *checked);
  if (window) o.emplace("window", window->toJson());
  return o;
}

Observation Observation::fromJson(const JsonValue& v) {
  if (!v.isObject()) throw JsonParseError("an observation is not an object");
  Observation o;
  const std::string* kind = v.findString("kind");
  bool known = false;
  for (const auto& [k, name] : kKinds) {
    if (kind && *kind == name) {
      o.kind = k;
      known = true;
    }
  }
  if (!known) throw JsonParseError("an observation's kind is not text, checked, window or front");
  if (const JsonValue* element = v.find("element")) o.element = ElementTarget::fromJson(*element);
  if (const JsonValue* text = v.find("text")) {
    if (!text->isString()) throw JsonParseError("an observation's text is not a string");
    o.text = text->asString();
  }
  const auto flag = [&v](const char* key) {
    const JsonValue* f = v.find(key);
    if (f && !f->isBool())
      throw JsonParseError(std::string("an observation's ") + key + " is not true or false");
    return f ? std::optional<bool>(f->asBool()) : std::nullopt;
  };
  o.cut = flag("cut").value_or(false);
  o.notEmpty = flag("notEmpty").value_or(false);
  o.checked = flag("checked");
  if (const JsonValue* window = v.find("window")) o.window = ForegroundAppSnapshot::fromJson(*window);
  // What a check needs of its kind.
  const bool complete = (o.kind == Kind::kText && o.element && (o.text || o.notEmpty)) ||
                        (o.kind == Kind::kChecked && o.element && o.checked) ||
                        ((o.kind == Kind::kWindow || o.kind == Kind::kFront) && o.window);
  if (!complete) throw JsonParseError("an observation lacks what its kind checks");
  return o;
}

}  // namespace diruri
