// Turning a session's input events into steps in words.
#include "core/skill/skill_steps.hpp"

#include <algorithm>
#include <array>
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

constexpr int64_t kLeftButton = 1;
// Presses of one button this close in time and place are one double or triple click, as desktops
// count them; a release farther than that from its press ends a drag.
constexpr int64_t kMultiClickMs = 400;
constexpr double kClickSlop = 4;
constexpr int kMostClicks = 3;
// The most points a drag's "path" keeps: a slow drag sends a move every few milliseconds, and a
// step is read whole by an agent.
constexpr size_t kLongestPath = 2000;

using PixelPoint = std::array<long long, 2>;

std::string inWords(const PixelPoint& p) {
  return "(" + std::to_string(p[0]) + ", " + std::to_string(p[1]) + ")";
}

JsonObject pointJson(const PixelPoint& p) { return {{"x", JsonValue(p[0])}, {"y", JsonValue(p[1])}}; }

// Where a pointer event was: its window, and whether its points are counted from the window's
// corner (its place is known) or from the screen's.
struct PointerWindow {
  std::optional<EventWindow> window;
  bool inside = false;

  explicit PointerWindow(const EventPayload& payload) : window(windowOf(payload)) {
    inside = window && window->geometry;
  }
  PixelPoint at(double x, double y) const {
    return {std::llround(x - (inside ? window->geometry->x : 0)),
            std::llround(y - (inside ? window->geometry->y : 0))};
  }
};

// "the middle button", "button 8".
std::string buttonWords(int64_t button) {
  if (button == 2) return "the middle button";
  if (button == 3) return "the right button";
  return "button " + std::to_string(button);
}

// A click's words from its place (` the "Save" push button in …`, ` in … at (40, 12)`): the right
// and middle buttons' single clicks have names of their own; any other click than a single left
// one names its button at the end, where it cannot be read as part of a quoted name.
std::string clickWords(int64_t button, int clicks, const std::string& place) {
  if (clicks == 1 && button == 3) return "Right-click" + place;
  if (clicks == 1 && button == 2) return "Middle-click" + place;
  static const char* const kVerbs[] = {"Click", "Double-click", "Triple-click"};
  return kVerbs[clicks - 1] + place + (button == kLeftButton ? "" : " with " + buttonWords(button));
}

// A drag's points: at most kLongestPath, however long it lasts. When full, every other point goes
// and from then on only every other move is kept, so the points stay evenly spaced over the whole
// drag; the press (the first) and the release (added last) are always kept.
class DragPath {
 public:
  void add(const PixelPoint& p) {
    if (seen_++ % stride_ != 0) return;
    points_.push_back(p);
    if (points_.size() < kLongestPath) return;  // one place stays free for the release
    for (size_t i = 0; 2 * i < points_.size(); ++i) points_[i] = points_[2 * i];
    points_.resize((points_.size() + 1) / 2);
    stride_ *= 2;
  }
  JsonArray toJson(const PixelPoint& release) const {
    JsonArray out;
    for (const PixelPoint& p : points_) out.emplace_back(pointJson(p));
    out.emplace_back(pointJson(release));
    return out;
  }

 private:
  std::vector<PixelPoint> points_;
  size_t seen_ = 0;
  size_t stride_ = 1;
};

// Removes the last character (a whole UTF-8 sequence) of the text.
void eraseLastCharacter(std::string& text) {
  while (!text.empty()) {
    const unsigned char last = static_cast<unsigned char>(text.back());
    text.pop_back();
    if ((last & 0xc0) != 0x80) return;
  }
}

// A name as a parameter's: its letters and digits in lowercase, anything else one underscore
// between them ("Customer name" is customer_name); "" when nothing of it is left. One that would
// start with a digit starts with "field_".
std::string identifierOf(const std::string& name) {
  std::string out;
  bool gap = false;
  for (const char c : name) {
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9')) {
      if (gap && !out.empty()) out += '_';
      out += lower;
      gap = false;
    } else {
      gap = true;
    }
    if (out.size() >= 48) break;
  }
  if (!out.empty() && out[0] >= '0' && out[0] <= '9') out = "field_" + out;
  return out;
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

// The last press of a button, while its release, a drag's moves or the next press of a double
// click may still change its step.
struct StepDescriber::Press {
  size_t step;
  int64_t button;
  double x, y;  // on the screen, for the distances
  std::optional<int64_t> ms;
  bool inferred;  // seen by its meaning: its time and point are not the pointer's
  PointerWindow where;
  std::optional<ElementTarget> element;
  std::string place;  // the click's words after the verb
  int clicks = 1;
  bool held = true;          // not released yet
  bool joinable = true;      // no other input came after it
  size_t firstEvidence = 0;  // where this press's own ids begin in its step's evidence
  DragPath path = {};
};

StepDescriber::StepDescriber(std::function<void(SkillStep&&)> onStep)
    : onStep_(std::move(onStep)), steps_(std::make_unique<Steps>()) {}

StepDescriber::~StepDescriber() = default;

void StepDescriber::emit(SkillStep&& step) {
  std::string description;
  if (const auto it = fieldWords_.find(released_++); it != fieldWords_.end()) {
    description = std::move(it->second);
    fieldWords_.erase(it);
  }
  // A text typed and then taken back entirely leaves nothing to do.
  if (step.kind == "type" && step.details.at("text") == JsonValue("")) return;
  const bool secret = step.kind == "password";
  if ((secret || step.kind == "type") && parameters_.size() < kMostParameters) {
    SkillParameter parameter;
    const auto field = step.details.find("field");
    std::string base = field != step.details.end() ? identifierOf(field->second.asString()) : "";
    if (base.empty()) base = secret ? "password" : "text_" + std::to_string(++unnamedTexts_);
    parameter.name = base;
    for (int n = 2; std::any_of(parameters_.begin(), parameters_.end(),
                                [&](const SkillParameter& p) { return p.name == parameter.name; });
         ++n)
      parameter.name = base + "_" + std::to_string(n);
    parameter.description = std::move(description);
    parameter.secret = secret;
    if (!secret) parameter.defaultText = step.details.at("text").asString();
    parameter.step = emitted_;
    step.details["parameter"] = parameter.name;
    parameters_.push_back(std::move(parameter));
  }
  ++emitted_;
  onStep_(std::move(step));
}

// What a Type or Password step typed into, for its parameter: "Text typed into "Customer" in
// "Order" of "Orders"".
void StepDescriber::describeField(size_t step, const EventPayload& payload,
                                  const std::optional<ElementTarget>& field) {
  std::string words = payload.redacted ? "Password typed" : "Text typed";
  if (field && field->name) {
    words += " into " + quotedData(*field->name, kLongestQuotedName);
    if (SkillStep* typed = steps_->at(step); typed && !payload.redacted)
      typed->details["field"] = *field->name;
  }
  if (const std::optional<EventWindow> window = windowOf(payload)) words += " in " + window->describe();
  fieldWords_[step] = std::move(words);
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
  if (!isKeyEvent(type) || secret) shifts_.clear();
  const bool dragging = type == EventType::kMouseMove && !payload.buttons.empty();
  // Any other input between two presses makes them two clicks, even while the first is held.
  if (press_ && !isMouseButtonEvent(type) && !(dragging && press_->held)) press_->joinable = false;
  if (secret && isKeyEvent(type)) {
    secretKey(payload, id, type == EventType::kKeyDown);
  } else if (isKeyEvent(type)) {
    key(payload, id, type == EventType::kKeyDown);
  } else if (type == EventType::kMouseDown) {
    click(event);
  } else if (type == EventType::kMouseUp) {
    release(payload, id);
  } else if (dragging) {
    // Without a press held, the drag's press was not recorded: there is nothing to add it to.
    if (press_ && press_->held) drag(payload, id);
  } else if (type == EventType::kMouseMove) {
    hover(payload, id);
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
  if (press_ && press_->step < first) press_.reset();
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
    std::erase_if(shifts_, [&](const auto& shift) { return shift.second == pairing; });
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
    if (modifierOf(keysym) == kShift) shifts_.emplace_back(id, pairing);
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
      describeField(*typing_, payload, payload.focus);
    }
    typed_ += *text;
    std::vector<std::string>& evidence = steps_->at(*typing_)->evidenceEventIds;
    // The Shift held for a capital is part of the typing: a replay that types other text drops it.
    for (const auto& [shiftId, shiftPairing] : shifts_) {
      evidence.push_back(shiftId);
      if (shiftPairing) stepOfKey_[*shiftPairing] = *typing_;
    }
    shifts_.clear();
    evidence.push_back(id);
    if (pairing) stepOfKey_[*pairing] = *typing_;
    return;
  }
  shifts_.clear();
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
    describeField(*password_, payload, payload.target);
  }
  steps_->at(*password_)->evidenceEventIds.push_back(id);
}

void StepDescriber::click(const RecordingEvent& event) {
  const EventPayload& payload = event.payload;
  const std::string& id = event.id;
  endTyping();
  endScrolling();
  if (!payload.x || !payload.y) {
    press_.reset();
    // Seen by its meaning where no window's place is known: the element says what was clicked.
    if (payload.target) {
      SkillStep step{"click", "Click the " + payload.target->describe(), {id}, {}};
      step.details.emplace("element", payload.target->toJson());
      if (const std::optional<EventWindow> window = windowOf(payload)) {
        step.words += " in " + window->describe();
        step.details.emplace("window", window->toJson());
      }
      lastClick_ = steps_->push(std::move(step));
    }
    return;
  }
  const int64_t button = payload.button.value_or(kLeftButton);
  if (joinsClick(event, button)) {
    Press& p = *press_;
    SkillStep& step = *steps_->at(p.step);
    p.firstEvidence = step.evidenceEventIds.size();
    step.evidenceEventIds.push_back(id);
    ++p.clicks;
    p.x = *payload.x;
    p.y = *payload.y;
    p.ms = event.monotonicMs;
    p.held = true;
    p.path = DragPath();
    p.path.add(p.where.at(p.x, p.y));
    step.details["clicks"] = JsonValue(p.clicks);
    step.words = clickWords(button, p.clicks, p.place);
    return;
  }
  SkillStep step{"click", "", {id}, {}};
  PointerWindow where(payload);
  std::string place;
  const std::optional<ElementTarget>& element = payload.target;
  if (element) {
    place += " the " + element->describe();
    step.details.emplace("element", element->toJson());
  }
  if (where.window) {
    place += " in " + where.window->describe();
    step.details.emplace("window", where.window->toJson());
  }
  const PixelPoint at = where.at(*payload.x, *payload.y);
  if (!element) place += " at " + inWords(at) + (where.inside ? "" : " on the screen");
  step.words = clickWords(button, 1, place);
  step.details.emplace("point", pointJson(at));
  step.details.emplace("pointIsInsideWindow", where.inside);
  if (button != kLeftButton) step.details.emplace("button", JsonValue(static_cast<long long>(button)));
  lastClick_ = steps_->push(std::move(step));
  press_ = std::make_unique<Press>(Press{*lastClick_, button, *payload.x, *payload.y, event.monotonicMs,
                                         payload.inferred, std::move(where), element, std::move(place)});
  press_->path.add(at);
}

// Whether a press is the next of a double or triple click: the same button pressed again soon, close
// by, with nothing between. A log without times never says how soon.
bool StepDescriber::joinsClick(const RecordingEvent& event, int64_t button) const {
  const Press* last = press_.get();
  if (!last || last->held || !last->joinable || last->button != button || last->clicks >= kMostClicks ||
      last->step + 1 != steps_->end() || last->inferred || event.payload.inferred)
    return false;
  const SkillStep* step = steps_->at(last->step);
  if (!step || step->kind != "click" || !last->ms || !event.monotonicMs) return false;
  const int64_t after = *event.monotonicMs - *last->ms;
  return after >= 0 && after <= kMultiClickMs &&
         std::hypot(*event.payload.x - last->x, *event.payload.y - last->y) <= kClickSlop;
}

void StepDescriber::drag(const EventPayload& payload, const std::string& id) {
  SkillStep* step = steps_->at(press_->step);
  if (!step) return;
  step->evidenceEventIds.push_back(id);
  if (payload.x && payload.y) press_->path.add(press_->where.at(*payload.x, *payload.y));
}

// A release ends its press: a click where it was made, a drag when it came farther.
void StepDescriber::release(const EventPayload& payload, const std::string& id) {
  Press* p = press_ && press_->held ? press_.get() : nullptr;
  const std::optional<size_t> number = p ? std::optional<size_t>(p->step) : lastClick_;
  SkillStep* step = number ? steps_->at(*number) : nullptr;
  if (!step) return;
  step->evidenceEventIds.push_back(id);
  if (!p) return;
  p->held = false;
  if (!payload.x || !payload.y || std::hypot(*payload.x - p->x, *payload.y - p->y) <= kClickSlop) return;
  if (p->clicks > 1) {
    // The last press of a double click went on to drag (selecting word by word): it leaves the
    // click, with its moves, and is a drag of its own.
    std::vector<std::string> ids(step->evidenceEventIds.begin() + static_cast<ptrdiff_t>(p->firstEvidence),
                                 step->evidenceEventIds.end());
    step->evidenceEventIds.resize(p->firstEvidence);
    if (--p->clicks == 1) {
      step->details.erase("clicks");
    } else {
      step->details["clicks"] = JsonValue(p->clicks);
    }
    step->words = clickWords(p->button, p->clicks, p->place);
    lastClick_ = p->step = steps_->push(SkillStep{"drag", "", std::move(ids), {}});
    step = steps_->at(p->step);
  }
  // Every point is counted from the window as it was at the press, even when the drag moved it.
  const PixelPoint from = p->where.at(p->x, p->y);
  const PixelPoint to = p->where.at(*payload.x, *payload.y);
  const std::optional<ElementTarget>& endElement = payload.target;
  JsonObject details{{"from", pointJson(from)},
                     {"to", pointJson(to)},
                     {"path", p->path.toJson(to)},
                     {"pointIsInsideWindow", p->where.inside}};
  std::string words = "Drag";
  if (p->where.window) {
    words += " in " + p->where.window->describe();
    details.emplace("window", p->where.window->toJson());
  }
  words += " from ";
  if (p->element) {
    words += "the " + p->element->describe() + " at ";
    details.emplace("element", p->element->toJson());
  }
  words += inWords(from) + " to ";
  if (endElement) {
    words += "the " + endElement->describe() + " at ";
    details.emplace("endElement", endElement->toJson());
  }
  words += inWords(to) + (p->where.inside ? "" : " on the screen");
  if (p->button != kLeftButton) {
    words += " with " + buttonWords(p->button);
    details.emplace("button", JsonValue(static_cast<long long>(p->button)));
  }
  step->kind = "drag";
  step->words = std::move(words);
  step->details = std::move(details);
}

// The pointer came to rest: over an element when one is known, else at its point. What is typed or
// scrolled after it is a step of its own, so that the steps keep the order they were done in.
void StepDescriber::hover(const EventPayload& payload, const std::string& id) {
  endTyping();
  endScrolling();
  password_.reset();
  if (!payload.x || !payload.y) return;
  const PointerWindow where(payload);
  const PixelPoint at = where.at(*payload.x, *payload.y);
  const std::optional<ElementTarget>& element = payload.target;
  SkillStep step{"hover", element ? "Hover over the " + element->describe() : "Hover", {id}, {}};
  if (element) step.details.emplace("element", element->toJson());
  if (where.window) {
    step.words += " in " + where.window->describe();
    step.details.emplace("window", where.window->toJson());
  }
  if (!element) step.words += " at " + inWords(at) + (where.inside ? "" : " on the screen");
  step.details.emplace("point", pointJson(at));
  step.details.emplace("pointIsInsideWindow", where.inside);
  steps_->push(std::move(step));
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

std::vector<SkillStep> describeSteps(const std::vector<RecordingEvent>& events,
                                     std::vector<SkillParameter>* parameters) {
  std::vector<SkillStep> steps;
  StepDescriber describer([&steps](SkillStep&& step) { steps.push_back(std::move(step)); });
  for (const RecordingEvent& event : events) describer.add(event);
  describer.finish();
  if (parameters) *parameters = describer.parameters();
  return steps;
}

bool isParameterName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name[0] < 'a' || name[0] > 'z') return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

JsonValue SkillParameter::toJson() const {
  JsonObject o{{"name", name},
               {"description", description},
               {"secret", secret},
               {"step", JsonValue(static_cast<long long>(step))}};
  putOptional(o, "default", defaultText);
  return o;
}

std::optional<SkillParameter> SkillParameter::fromJson(const JsonValue& value) {
  const std::string* name = value.findString("name");
  const JsonValue* step = value.find("step");
  const std::optional<int64_t> number = step && step->isNumber() ? step->asIntegral() : std::nullopt;
  if (!name || !isParameterName(*name) || !number || *number < 0) return std::nullopt;
  SkillParameter parameter;
  parameter.name = *name;
  if (const std::string* description = value.findString("description")) parameter.description = *description;
  if (const std::string* text = value.findString("default")) parameter.defaultText = *text;
  const JsonValue* secret = value.find("secret");
  parameter.secret = secret && secret->isBool() && secret->asBool();
  if (parameter.secret) parameter.defaultText.reset();
  parameter.step = static_cast<size_t>(*number);
  return parameter;
}

}  // namespace diruri
