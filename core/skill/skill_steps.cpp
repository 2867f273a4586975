// Turning a session's input events into steps in words.
#include "core/skill/skill_steps.hpp"

#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

#include "core/records/front_app.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

constexpr uint32_t kBackSpace = 0xff08;
// The longest typed text a step's words quote, in characters; the step's "text" keeps it whole.
constexpr size_t kLongestQuotedText = 500;

enum Modifier : unsigned { kCtrl = 1, kAlt = 2, kShift = 4, kSuper = 8 };

// The modifier a keysym sets, or 0; whether it is a modifier key at all, so that it makes no step.
unsigned modifierOf(uint32_t keysym) {
  switch (keysym) {
    case 0xffe1:
    case 0xffe2:
      return kShift;
    case 0xffe3:
    case 0xffe4:
      return kCtrl;
    case 0xffe7:
    case 0xffe8:
    case 0xffe9:
    case 0xffea:
      return kAlt;
    case 0xffeb:
    case 0xffec:
    case 0xffed:
    case 0xffee:
      return kSuper;
    default:
      return 0;
  }
}

bool isModifierKey(uint32_t keysym) {
  return (keysym >= 0xffe1 && keysym <= 0xffee) || (keysym >= 0xfe01 && keysym <= 0xfe13) ||
         keysym == 0xff7e || keysym == 0xff7f;
}

// The name a key goes by in "Press …".
std::string keyName(uint32_t keysym, const std::optional<std::string>& text) {
  static const std::map<uint32_t, const char*> kNames = {
      {0xff0d, "Enter"},  {0xff8d, "Enter"},        {0xff09, "Tab"},     {0xfe20, "Tab"},
      {0xff1b, "Escape"}, {0xff08, "Backspace"},    {0xffff, "Delete"},  {0xff9f, "Delete"},
      {0xff50, "Home"},   {0xff57, "End"},          {0xff55, "Page Up"}, {0xff56, "Page Down"},
      {0xff51, "Left"},   {0xff52, "Up"},           {0xff53, "Right"},   {0xff54, "Down"},
      {0xff63, "Insert"}, {0xff61, "Print Screen"}, {0xff13, "Pause"},   {0xff67, "Menu"},
      {0x20, "Space"},
  };
  if (const auto it = kNames.find(keysym); it != kNames.end()) return it->second;
  if (keysym >= 0xffbe && keysym <= 0xffe0) return "F" + std::to_string(keysym - 0xffbe + 1);
  if (text) {
    // A letter by its capital, as keyboards and menus name shortcuts.
    if (text->size() == 1 && (*text)[0] >= 'a' && (*text)[0] <= 'z')
      return std::string(1, (*text)[0] - 'a' + 'A');
    // One character that reads as itself; anything else the log says is quoted as data.
    const std::vector<char32_t> scalars = decodeUtf8(*text);
    if (scalars.size() == 1 && scalars[0] > 0x20 && scalars[0] != '"' && scalars[0] != '\\' &&
        cleanData(*text, 1) == *text)
      return *text;
    return quotedData(*text, kLongestQuotedName);
  }
  char name[32];
  std::snprintf(name, sizeof name, "keysym 0x%x", keysym);
  return name;
}

std::string combination(unsigned modifiers, const std::string& key) {
  std::string out;
  if (modifiers & kCtrl) out += "Ctrl+";
  if (modifiers & kAlt) out += "Alt+";
  if (modifiers & kShift) out += "Shift+";
  if (modifiers & kSuper) out += "Super+";
  return out + key;
}

std::optional<int64_t> integral(const JsonObject& object, std::string_view key) {
  const JsonValue* v = findMember(object, key);
  return v && v->isNumber() ? v->asIntegral() : std::nullopt;
}

// The window an event was made in: its application and title, and where it lay.
struct EventWindow {
  ForegroundAppSnapshot app;
  std::optional<WindowGeometry> geometry;

  // "\"Notes\" of \"Editor\"": both come from the desktop, so both are quoted as data.
  std::string describe() const {
    const std::string appName = quotedData(app.appName, kLongestQuotedName);
    return app.windowTitle ? quotedData(*app.windowTitle, kLongestQuotedName) + " of " + appName : appName;
  }
  JsonObject toJson() const {
    JsonObject o{{"app", app.appName}};
    putOptional(o, "title", app.windowTitle);
    if (geometry) {
      o.emplace("x", geometry->x);
      o.emplace("y", geometry->y);
      o.emplace("width", geometry->width);
      o.emplace("height", geometry->height);
    }
    return o;
  }
};

std::optional<EventWindow> windowOf(const JsonObject& payload) {
  const JsonValue* app = findMember(payload, "app");
  if (!app) return std::nullopt;
  EventWindow w;
  try {
    w.app = ForegroundAppSnapshot::fromJson(*app);
    if (const JsonValue* geometry = findMember(payload, "window"))
      w.geometry = WindowGeometry::fromJson(*geometry);
  } catch (const JsonParseError&) {
    return std::nullopt;
  }
  return w;
}

// Removes the last character (a whole UTF-8 sequence) of the text.
void eraseLastCharacter(std::string& text) {
  while (!text.empty()) {
    const unsigned char last = static_cast<unsigned char>(text.back());
    text.pop_back();
    if ((last & 0xc0) != 0x80) return;
  }
}

class Describer {
 public:
  std::vector<SkillStep> steps;

  void add(const JsonObject& event) {
    const std::string* type = findStringMember(event, "type");
    const JsonObject* payload = findObjectMember(event, "payload");
    if (!type || !payload) return;
    const std::string* idText = findStringMember(event, "id");
    const std::string id = idText ? *idText : "";
    const bool press = *type == "key_down" || *type == "mouse_down" || *type == "scroll";
    const JsonValue* redacted = findMember(*payload, "redacted");
    const bool secret = redacted && redacted->isBool() && redacted->asBool();
    if (press) followWindow(*payload, id);
    if (press && !secret) password_.reset();
    if (secret && (*type == "key_down" || *type == "key_up")) {
      secretKey(*payload, id, *type == "key_down");
    } else if (*type == "key_down" || *type == "key_up") {
      key(*payload, id, *type == "key_down");
    } else if (*type == "mouse_down") {
      click(*payload, id);
    } else if (*type == "mouse_up") {
      if (lastClick_) steps[*lastClick_].evidenceEventIds.push_back(id);
    } else if (*type == "scroll") {
      scroll(*payload, id);
    }
  }

  void finish() { endTyping(); }

 private:
  // A press in another window than the last one starts with a Switch step.
  void followWindow(const JsonObject& payload, const std::string& id) {
    std::optional<EventWindow> now = windowOf(payload);
    if (!now) return;
    if (window_ && !isSameWindow(window_->app, now->app)) {
      endTyping();
      SkillStep step{"switch", "Switch to " + now->describe(), {id}, {{"window", now->toJson()}}};
      steps.push_back(std::move(step));
      lastScroll_.reset();
    }
    window_ = std::move(now);
  }

  void key(const JsonObject& payload, const std::string& id, bool down) {
    const std::optional<int64_t> code = integral(payload, "keyCode");
    const std::optional<int64_t> keysymValue = integral(payload, "keysym");
    const std::string* textValue = findStringMember(payload, "text");
    const std::optional<std::string> text = textValue ? std::optional<std::string>(*textValue) : std::nullopt;
    const int64_t pairing = code ? *code : -keysymValue.value_or(0);
    if (!down) {
      if (const auto it = stepOfKey_.find(pairing); it != stepOfKey_.end()) {
        if (it->second < steps.size()) steps[it->second].evidenceEventIds.push_back(id);
        stepOfKey_.erase(it);
      }
      if (keysymValue) modifiers_ &= ~modifierOf(static_cast<uint32_t>(*keysymValue));
      return;
    }
    lastScroll_.reset();
    if (!keysymValue) {
      // An older log, with key codes only: what the key meant is not known.
      endTyping();
      char words[48];
      std::snprintf(words, sizeof words, "Press key code %lld", static_cast<long long>(code.value_or(0)));
      pushStep(pairing,
               SkillStep{"press", words, {id}, {{"keyCode", JsonValue(static_cast<long long>(*code))}}});
      return;
    }
    const uint32_t keysym = static_cast<uint32_t>(*keysymValue);
    if (isModifierKey(keysym)) {
      modifiers_ |= modifierOf(keysym);
      return;
    }
    const bool shortcut = (modifiers_ & (kCtrl | kAlt | kSuper)) != 0;
    if (!shortcut && keysym == kBackSpace && typing_) {
      eraseLastCharacter(typed_);
      steps[*typing_].evidenceEventIds.push_back(id);
      stepOfKey_[pairing] = *typing_;
      return;
    }
    if (!shortcut && text) {
      if (!typing_) {
        steps.push_back(SkillStep{"type", "", {}, {}});
        typing_ = steps.size() - 1;
        typed_.clear();
      }
      typed_ += *text;
      steps[*typing_].evidenceEventIds.push_back(id);
      stepOfKey_[pairing] = *typing_;
      return;
    }
    endTyping();
    // Shift counts for a key that types nothing (Shift+Tab) or with another modifier (Ctrl+Shift+T).
    const unsigned held = shortcut || !text ? modifiers_ : modifiers_ & ~kShift;
    const std::string keys = combination(held, keyName(keysym, text));
    pushStep(pairing, SkillStep{"press", "Press " + keys, {id}, {{"keys", keys}}});
  }

  // Keys typed into a password field, one after another, make one step; what they were is not known.
  void secretKey(const JsonObject& payload, const std::string& id, bool down) {
    if (!down) {
      if (password_) steps[*password_].evidenceEventIds.push_back(id);
      return;
    }
    endTyping();
    lastScroll_.reset();
    if (!password_) {
      const std::optional<ElementTarget> field = ElementTarget::of(payload);
      SkillStep step{"password", "Type the password into ", {}, {}};
      if (field && field->name) {
        step.words += quotedData(*field->name, kLongestQuotedName);
        step.details.emplace("field", *field->name);
      } else {
        step.words += "the password field";
      }
      steps.push_back(std::move(step));
      password_ = steps.size() - 1;
    }
    steps[*password_].evidenceEventIds.push_back(id);
  }

  void click(const JsonObject& payload, const std::string& id) {
    endTyping();
    lastScroll_.reset();
    const JsonValue* x = findMember(payload, "x");
    const JsonValue* y = findMember(payload, "y");
    if (!x || !y || !x->isNumber() || !y->isNumber()) return;
    const double px = x->asDouble(), py = y->asDouble();
    SkillStep step{"click", "Click", {id}, {}};
    const std::optional<ElementTarget> element = ElementTarget::of(payload);
    if (element) {
      step.words += " the " + element->describe();
      step.details.emplace("element", element->toJson());
    }
    const std::optional<EventWindow> window = windowOf(payload);
    if (window) {
      step.words += " in " + window->describe();
      step.details.emplace("window", window->toJson());
    }
    // The point inside the window where its place is known, else on the screen.
    const bool inside = window && window->geometry;
    const long long at[2] = {std::llround(px - (inside ? window->geometry->x : 0)),
                             std::llround(py - (inside ? window->geometry->y : 0))};
    if (!element) {
      step.words += " at (" + std::to_string(at[0]) + ", " + std::to_string(at[1]) + ")" +
                    (inside ? "" : " on the screen");
    }
    step.details.emplace("point", JsonObject{{"x", JsonValue(at[0])}, {"y", JsonValue(at[1])}});
    step.details.emplace("pointIsInsideWindow", inside);
    steps.push_back(std::move(step));
    lastClick_ = steps.size() - 1;
  }

  void scroll(const JsonObject& payload, const std::string& id) {
    endTyping();
    const std::optional<int64_t> amount = integral(payload, "scrollY");
    if (!amount || *amount == 0) return;
    const std::string direction = *amount > 0 ? "up" : "down";
    if (lastScroll_ && steps[*lastScroll_].details.at("direction").asString() == direction) {
      SkillStep& step = steps[*lastScroll_];
      const int64_t total = *step.details.at("amount").asIntegral() + std::llabs(*amount);
      step.details["amount"] = JsonValue(static_cast<long long>(total));
      step.words = "Scroll " + direction + " " + std::to_string(total);
      step.evidenceEventIds.push_back(id);
      return;
    }
    const long long wheelSteps = std::llabs(*amount);
    steps.push_back(SkillStep{"scroll",
                              "Scroll " + direction + " " + std::to_string(wheelSteps),
                              {id},
                              {{"direction", direction}, {"amount", JsonValue(wheelSteps)}}});
    lastScroll_ = steps.size() - 1;
  }

  void pushStep(int64_t pairing, SkillStep step) {
    steps.push_back(std::move(step));
    stepOfKey_[pairing] = steps.size() - 1;
  }

  // The text and words of a Type step are set once its run ends: per key, a long run would be
  // copied again for every character.
  void endTyping() {
    if (!typing_) return;
    SkillStep& step = steps[*typing_];
    step.words = "Type " + quotedData(typed_, kLongestQuotedText);
    step.details["text"] = std::move(typed_);
    typed_.clear();
    typing_.reset();
  }

  std::optional<EventWindow> window_;
  std::optional<size_t> typing_;  // the Type step being added to, and what it types
  std::string typed_;
  std::optional<size_t> lastClick_;
  std::optional<size_t> lastScroll_;
  std::optional<size_t> password_;       // the step of the password being typed
  std::map<int64_t, size_t> stepOfKey_;  // the step each key held down went to
  unsigned modifiers_ = 0;
};

}  // namespace

JsonValue SkillStep::toJson() const {
  JsonObject o = details;
  o.emplace("kind", kind);
  o.emplace("words", words);
  JsonArray ids;
  for (const std::string& id : evidenceEventIds) ids.emplace_back(id);
  o.emplace("evidenceEventIds", std::move(ids));
  return o;
}

std::vector<SkillStep> describeSteps(const std::vector<JsonObject>& events) {
  Describer describer;
  for (const JsonObject& event : events) describer.add(event);
  describer.finish();
  // A text typed and then taken back entirely leaves nothing to do.
  std::erase_if(describer.steps,
                [](const SkillStep& s) { return s.kind == "type" && s.details.at("text") == JsonValue(""); });
  return describer.steps;
}

}  // namespace diruri
