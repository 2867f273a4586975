// What a person did, in steps an agent can read: typing, key presses, clicks, drags, hovers,
// scrolling and changes of window, made from a session's event log.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json/json_value.hpp"
#include "core/records/recording_event.hpp"

namespace diruri {

struct SkillStep {
  // "type", "password", "press", "click", "drag", "hover", "scroll" or "switch".
  std::string kind;
  // The step in plain words: Type "hello", Type the password into "PIN", Press Ctrl+S, Click in
  // Notes (Editor) at (40, 12), Right-click the "Save" push button in Notes (Editor), Double-click
  // … with button 8, Drag in Notes (Editor) from (40, 12) to (90, 12), Hover over the "Save" push
  // button in Notes (Editor), Scroll left 2.
  std::string words;
  std::vector<std::string> evidenceEventIds;
  // What the kind has besides: "text"; "field" (the password field's name, when it has one);
  // "keys"; "point", "window" and, where recorded, "element", a click's "button" when it is not
  // the left one and "clicks" when it was double or triple; a drag's "from", "to", "path" (its
  // points, at most 2,000), "window", "element" and "endElement", "button"; a hover's "point",
  // "window" and "element"; "direction" and "amount"; "window" (each window with "title", "app"
  // and, where known, its place).
  JsonObject details;

  // {"evidenceEventIds", "kind", "words", and the details}.
  JsonValue toJson() const;
};

// The longest typed text a step's words quote, in characters; the step's "text" keeps it whole.
inline constexpr size_t kLongestQuotedText = 500;
// The longest argument a replay types, in characters.
inline constexpr size_t kLongestArgument = 10000;
// The most parameters a skill has: later typing steps replay their recorded keys.
inline constexpr size_t kMostParameters = 200;

// A value a skill takes: what one Type step typed, which a replay may be given another text for,
// or the password one Password step typed, which a replay must be given.
struct SkillParameter {
  std::string name;                        // a lowercase identifier, unique in the skill
  std::string description;                 // one line naming the field and the window
  std::optional<std::string> defaultText;  // what was typed; none for a secret
  bool secret = false;
  size_t step = 0;  // the step that typed it, counted from 0 as steps.json lists them

  // {"name", "description", "secret", "step", and "default" when it is not secret}.
  JsonValue toJson() const;
  // None for a value that is no usable parameter (a name that is no identifier, no step).
  static std::optional<SkillParameter> fromJson(const JsonValue& value);
};

// Whether a name is one a parameter may have: 1 to 64 lowercase letters, digits and underscores,
// starting with a letter.
bool isParameterName(std::string_view name);

// The steps of a log's input events, in order: characters typed one after another make one Type
// step (Backspace takes back the last one), keys typed into a password field one Password step, a
// key pressed with Ctrl, Alt or Super held or a key that types nothing (Enter, Tab, Escape, arrows,
// function keys) a Press step, a click a Click step (presses of one button close in time and place
// one double or triple click), a press released away from where it was made a Drag step, the
// pointer coming to rest a Hover step, wheel steps in one direction one Scroll step, and a change
// of the window in front a Switch step. Modifiers pressed on their own make no step; a Shift held
// for typed characters is part of their Type step. Each Type and Password step, up to
// kMostParameters of them, is a parameter of the skill, named after its field.
// Events that are no input are passed over. Steps are handed to `onStep` in order as soon as
// nothing later can change them, so a recording of any length is described in bounded memory.
class StepDescriber {
 public:
  explicit StepDescriber(std::function<void(SkillStep&&)> onStep);
  ~StepDescriber();
  StepDescriber(const StepDescriber&) = delete;
  StepDescriber& operator=(const StepDescriber&) = delete;

  void add(const RecordingEvent& event);
  // Hands on what is left; nothing may be added after.
  void finish();
  // The parameters of the steps handed on so far, in step order.
  const std::vector<SkillParameter>& parameters() const { return parameters_; }

 private:
  class Steps;
  struct Press;
  void emit(SkillStep&& step);
  void handOn();
  void followWindow(const EventPayload& payload, const std::string& id);
  void key(const EventPayload& payload, const std::string& id, bool down);
  void secretKey(const EventPayload& payload, const std::string& id, bool down);
  void click(const RecordingEvent& event);
  bool joinsClick(const RecordingEvent& event, int64_t button) const;
  void release(const EventPayload& payload, const std::string& id);
  void drag(const EventPayload& payload, const std::string& id);
  void hover(const EventPayload& payload, const std::string& id);
  void scroll(const EventPayload& payload, const std::string& id);
  void wheel(std::optional<size_t>& run, const char* direction, int64_t amount, const std::string& id);
  void endScrolling();
  void pushStep(std::optional<int64_t> pairing, SkillStep step);
  void endTyping();
  void describeField(size_t step, const EventPayload& payload, const std::optional<ElementTarget>& field);

  std::function<void(SkillStep&&)> onStep_;
  std::unique_ptr<Steps> steps_;
  std::optional<FrontWindow> window_;  // the window of the last press
  std::optional<size_t> typing_;       // the Type step being added to, and what it types
  std::string typed_;
  std::optional<size_t> lastClick_;
  std::unique_ptr<Press> press_;  // the last press, while its step may still change
  std::optional<size_t> lastScroll_;
  std::optional<size_t> lastSideways_;   // the Scroll step of sideways wheel steps
  std::optional<size_t> password_;       // the step of the password being typed
  std::map<int64_t, size_t> stepOfKey_;  // the step each key held down went to
  unsigned modifiers_ = 0;
  // Shift presses not yet part of a step: they join the typing that comes next.
  std::vector<std::pair<std::string, std::optional<int64_t>>> shifts_;
  std::map<size_t, std::string> fieldWords_;  // by step: its field and window, for its parameter
  std::vector<SkillParameter> parameters_;
  size_t released_ = 0;  // steps handed on, those left out included
  size_t emitted_ = 0;   // steps handed to onStep_
  size_t unnamedTexts_ = 0;
};

// All the steps of the events at once, and their parameters when asked for.
std::vector<SkillStep> describeSteps(const std::vector<RecordingEvent>& events,
                                     std::vector<SkillParameter>* parameters = nullptr);

}  // namespace diruri
