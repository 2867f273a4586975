// Turning a session's input events into steps in words.
#include "core/skill/skill_steps.hpp"

#include <cmath>
#include <cstdio>
#include <deque>
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

std::optional<EventWindow> windowOf(const EventPayload& payload) {
  if (!payload.app) return std::nullopt;
  return EventWindow{*payload.app, payload.window};
}

// Removes the last character (a whole UTF-8 sequence) of the text.
void eraseLastCharacter(std::string& text) {
  while (!text.empty()) {
    const unsigned char last = static_cast<unsigned char>(text.back());
    text.pop_back();
    if ((last & 0xc0) != 0x80) return;
  }
}

}  // namespace

// The steps being made, numbered from the first: a step is handed on once nothing can change it
// any more (no key held down from it, no typing or scrolling adding to it), so a long recording is
// never held whole. A step still held by a key that is never released is handed on once
// kHeldSteps steps have come after it; the release then adds nothing.
class StepDescriber::Steps {
 public:
  static constexpr size_t kHeldSteps = 4096;

  size_t push(SkillStep step) {
    steps_.push_back(std::move(step));
    return base_ + steps_.size() - 1;
  }
  // The step of that number, or null when it was handed on.
  SkillStep* at(size_t number) { return number >= base_ ? &steps_[number - base_] : nullptr; }
  size_t first() const { return base_; }
  size_t end() const { return base_ + steps_.size(); }
  // Hands on the steps before `keep` (and more, when too many are held).
  template <typename Emit>
  void release(size_t keep, Emit& emit) {
    while (!steps_.empty() && (base_ < keep || steps_.size() > kHeldSteps)) {
      emit(std::move(steps_.front()));
      steps_.pop_front();
      ++base_;
    }
  }

 private:
  std::deque<SkillStep> steps_;
  size_t base_ = 0;
};

StepDescriber::StepDescriber(std::function<void(SkillStep&&)> onStep)
    : onStep_(std::move(onStep)), steps_(std::make_unique<Steps>()) {}

StepDescriber::~StepDescriber() = default;

void StepDescriber::emit(SkillStep&& step) {
  // A text typed and then taken back entirely leaves nothing to do.
  if (step.kind == "type" && step.details.at("text") == JsonValue("")) return;
  onStep_(std::move(step));
}

void StepDescriber::add(const RecordingEvent& event) {
  const EventType type = event.kind;
  if (!isInputEvent(type)) return;
  const EventPayload& payload = event.payload;
  const std::string& id = event.id;
  const bool press = isPressEvent(type);
  const bool secret = payload.redacted;
  if (press) followWindow(payload, id);
  if (press && !secret) password_.reset();
  if (secret && isKeyEvent(type)) {
    secretKey(payload, id, type == EventType::kKeyDown);
  } else if (isKeyEvent(type)) {
    key(payload, id, type == EventType::kKeyDown);
  } else if (type == EventType::kMouseDown) {
    click(payload, id);
  } else if (type == EventType::kMouseUp) {
    if (SkillStep* step = lastClick_ ? steps_->at(*lastClick_) : nullptr)
      step->evidenceEventIds.push_back(id);
  } else {
    scroll(payload, id);
  }
  handOn();
}

void StepDescriber::finish() {
  endTyping();
  auto emitter = [this](SkillStep&& step) { emit(std::move(step)); };
  steps_->release(steps_->end(), emitter);
}

void StepDescriber::handOn() {
  // The oldest step anything may still add to.
  size_t keep = steps_->end();
  for (const std::optional<size_t>& held : {typing_, lastClick_, lastScroll_, lastSideways_, password_})
    if (held) keep = std::min(keep, *held);
  for (const auto& [key, step] : stepOfKey_) keep = std::min(keep, step);
  auto emitter = [this](SkillStep&& step) { emit(std::move(step)); };
  steps_->release(keep, emitter);
  // What was handed on is out of reach.
  const size_t first = steps_->first();
  for (std::optional<size_t>* held : {&typing_, &lastClick_, &lastScroll_, &lastSideways_, &password_})
    if (*held && **held < first) held->reset();
  std::erase_if(stepOfKey_, [first](const auto& entry) { return entry.second < first; });
  if (!typing_) typed_.clear();
}

// A press in another window than the last one starts with a Switch step.
void StepDescriber::followWindow(const EventPayload& payload, const std::string& id) {
  std::optional<EventWindow> now = windowOf(payload);
  if (!now) return;
  if (window_ && !isSameWindow(window_->app, now->app)) {
    endTyping();
    steps_->push(SkillStep{"switch", "Switch to " + now->describe(), {id}, {{"window", now->toJson()}}});
    endScrolling();
  }
  window_ = FrontWindow{std::move(now->app), now->geometry};
}

void StepDescriber::key(const EventPayload& payload, const std::string& id, bool down) {
  const std::optional<int64_t> pairing = keyIdentity(payload.keyCode, payload.keysym);
  if (!down) {
    if (const auto it = pairing ? stepOfKey_.find(*pairing) : stepOfKey_.end(); it != stepOfKey_.end()) {
      if (SkillStep* step = steps_->at(it->second)) step->evidenceEventIds.push_back(id);
      stepOfKey_.erase(it);
    }
    if (payload.keysym) modifiers_ &= ~modifierOf(static_cast<uint32_t>(*payload.keysym));
    return;
  }
  endScrolling();
  if (!payload.keysym) {
    // An older log, with key codes only: what the key meant is not known.
    endTyping();
    char words[48];
    std::snprintf(words, sizeof words, "Press key code %lld",
                  static_cast<long long>(payload.keyCode.value_or(0)));
    pushStep(pairing,
             SkillStep{"press",
                       words,
                       {id},
                       {{"keyCode", JsonValue(static_cast<long long>(payload.keyCode.value_or(0)))}}});
    return;
  }
  const uint32_t keysym = static_cast<uint32_t>(*payload.keysym);
  if (isModifierKey(keysym)) {
    modifiers_ |= modifierOf(keysym);
    return;
  }
  const std::optional<std::string>& text = payload.text;
  const bool shortcut = (modifiers_ & (kCtrl | kAlt | kSuper)) != 0;
  if (!shortcut && keysym == kBackSpace && typing_) {
    eraseLastCharacter(typed_);
    steps_->at(*typing_)->evidenceEventIds.push_back(id);
    if (pairing) stepOfKey_[*pairing] = *typing_;
    return;
  }
  if (!shortcut && text) {
    if (!typing_) {
      typing_ = steps_->push(SkillStep{"type", "", {}, {}});
      typed_.clear();
    }
    typed_ += *text;
    steps_->at(*typing_)->evidenceEventIds.push_back(id);
    if (pairing) stepOfKey_[*pairing] = *typing_;
    return;
  }
  endTyping();
  // Shift counts for a key that types nothing (Shift+Tab) or with another modifier (Ctrl+Shift+T).
  const unsigned held = shortcut || !text ? modifiers_ : modifiers_ & ~kShift;
  const std::string keys = combination(held, keyName(keysym, text));
  pushStep(pairing, SkillStep{"press", "Press " + keys, {id}, {{"keys", keys}}});
}

// Keys typed into a password field, one after another, make one step; what they were is not known.
void StepDescriber::secretKey(const EventPayload& payload, const std::string& id, bool down) {
  if (!down) {
    if (SkillStep* step = password_ ? steps_->at(*password_) : nullptr) step->evidenceEventIds.push_back(id);
    return;
  }
  endTyping();
  endScrolling();
  if (!password_) {
    SkillStep step{"password", "Type the password into ", {}, {}};
    if (payload.target && payload.target->name) {
      step.words += quotedData(*payload.target->name, kLongestQuotedName);
      step.details.emplace("field", *payload.target->name);
    } else {
      step.words += "the password field";
    }
    password_ = steps_->push(std::move(step));
  }
  steps_->at(*password_)->evidenceEventIds.push_back(id);
}

void StepDescriber::click(const EventPayload& payload, const std::string& id) {
  endTyping();
  endScrolling();
  if (!payload.x || !payload.y) return;
  const double px = *payload.x, py = *payload.y;
  SkillStep step{"click", "Click", {id}, {}};
  const std::optional<ElementTarget>& element = payload.target;
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
  lastClick_ = steps_->push(std::move(step));
}

// Vertical and sideways wheel steps are summed apart: a diagonal swipe sends both in turn.
void StepDescriber::scroll(const EventPayload& payload, const std::string& id) {
  endTyping();
  if (payload.scrollY) wheel(lastScroll_, *payload.scrollY > 0 ? "up" : "down", *payload.scrollY, id);
  if (payload.scrollX) wheel(lastSideways_, *payload.scrollX > 0 ? "left" : "right", *payload.scrollX, id);
}

void StepDescriber::wheel(std::optional<size_t>& run, const char* direction, int64_t amount,
                          const std::string& id) {
  if (amount == 0) return;
  if (SkillStep* step = run ? steps_->at(*run) : nullptr;
      step && step->details.at("direction").asString() == direction) {
    const int64_t total = *step->details.at("amount").asIntegral() + std::llabs(amount);
    step->details["amount"] = JsonValue(static_cast<long long>(total));
    step->words = "Scroll " + std::string(direction) + " " + std::to_string(total);
    step->evidenceEventIds.push_back(id);
    return;
  }
  const long long wheelSteps = std::llabs(amount);
  run = steps_->push(SkillStep{"scroll",
                               "Scroll " + std::string(direction) + " " + std::to_string(wheelSteps),
                               {id},
                               {{"direction", direction}, {"amount", JsonValue(wheelSteps)}}});
}

void StepDescriber::endScrolling() {
  lastScroll_.reset();
  lastSideways_.reset();
}

void StepDescriber::pushStep(std::optional<int64_t> pairing, SkillStep step) {
  const size_t number = steps_->push(std::move(step));
  if (pairing) stepOfKey_[*pairing] = number;
}

// The text and words of a Type step are set once its run ends: per key, a long run would be
// copied again for every character.
void StepDescriber::endTyping() {
  if (!typing_) return;
  SkillStep* step = steps_->at(*typing_);
  if (!step) {
    typing_.reset();
    return;
  }
  step->words = "Type " + quotedData(typed_, kLongestQuotedText);
  step->details["text"] = std::move(typed_);
  typed_.clear();
  typing_.reset();
}

JsonValue SkillStep::toJson() const {
  JsonObject o = details;
  o.emplace("kind", kind);
  o.emplace("words", words);
  JsonArray ids;
  for (const std::string& id : evidenceEventIds) ids.emplace_back(id);
  o.emplace("evidenceEventIds", std::move(ids));
  return o;
}

std::vector<SkillStep> describeSteps(const std::vector<RecordingEvent>& events) {
  std::vector<SkillStep> steps;
  StepDescriber describer([&steps](SkillStep&& step) { steps.push_back(std::move(step)); });
  for (const RecordingEvent& event : events) describer.add(event);
  describer.finish();
  return steps;
}

}  // namespace diruri
