// What a person did, in steps an agent can read: typing, key presses, clicks, scrolling and
// changes of window, made from a session's event log.
#pragma once

#include <string>
#include <vector>

#include "core/json/json_value.hpp"

namespace diruri {

struct SkillStep {
  // "type", "password", "press", "click", "scroll" or "switch".
  std::string kind;
  // The step in plain words: Type "hello", Type the password into "PIN", Press Ctrl+S, Click in
  // Notes (Editor) at (40, 12), Click the "Save" push button in Notes (Editor).
  std::string words;
  std::vector<std::string> evidenceEventIds;
  // What the kind has besides: "text"; "field" (the password field's name, when it has one);
  // "keys"; "point", "window" and, where recorded, "element"; "direction" and "amount"; "window"
  // (each window with "title", "app" and, where known, its place).
  JsonObject details;

  // {"evidenceEventIds", "kind", "words", and the details}.
  JsonValue toJson() const;
};

// The steps of a log's input events, in order: characters typed one after another make one Type
// step (Backspace takes back the last one), keys typed into a password field one Password step, a
// key pressed with Ctrl, Alt or Super held or a key that
// types nothing (Enter, Tab, Escape, arrows, function keys) a Press step, a click a Click step,
// wheel steps in one direction one Scroll step, and a change of the window in front a Switch step.
// Modifiers pressed on their own make no step. Lines that are no input event are passed over.
std::vector<SkillStep> describeSteps(const std::vector<JsonObject>& events);

}  // namespace diruri
