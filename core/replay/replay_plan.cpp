// Checking that a recorded input event can be posted as it was recorded.
#include "core/replay/replay_plan.hpp"

#include "core/replay/semantic_replayer.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

// A line that cannot be posted as it was recorded: the replay fails before anything is posted,
// rather than leave it out and post its neighbours (a key's release without its press, keys with
// no window to go to).
[[noreturn]] void unusable(const RecordingEvent& event, const EventLine& line, const std::string& why) {
  throw SemanticReplayerError(SemanticReplayerError::Code::unusableEvent,
                              "Nothing was replayed: line " + std::to_string(line.number) +
                                  " of the recording" +
                                  (event.id.empty() ? std::string() : " (" + quotedData(event.id, 80) + ")") +
                                  " cannot be replayed as it was recorded: " + why +
                                  ". Correct or remove that line of references/events.jsonl.");
}

}  // namespace

std::optional<Planned> plan(RecordingEvent& event, const EventLine& line) {
  if (event.kind == EventType::kOther && event.type.empty() && !line.problem.empty()) {
    unusable(event, line, line.problem);  // a type that is not text: what it was is not known
  }
  if (!isInputEvent(event.kind)) return std::nullopt;
  if (!line.problem.empty()) unusable(event, line, line.problem);
  EventPayload& payload = event.payload;
  Planned p;
  p.type = event.kind;
  if (isPointerEvent(p.type)) {
    // A click seen by its meaning where no window's place was known has none: its element says
    // what to press, and its release follows it.
    const bool byElement = payload.inferred && isMouseButtonEvent(p.type) &&
                           (p.type == EventType::kMouseUp || payload.target.has_value());
    if ((!payload.x || !payload.y) && !byElement) unusable(event, line, "it has no point (x and y numbers)");
    if (payload.x && payload.y) p.point = Point{*payload.x, *payload.y};
    p.button = payload.button.value_or(1);
    if (p.button >= 4 && p.button <= 7) unusable(event, line, "its button is one of the wheel's (4 to 7)");
    p.buttons = std::move(payload.buttons);
  } else if (p.isKey()) {
    p.redacted = payload.redacted;
    if (!p.redacted) {
      p.keysym = payload.keysym;
      p.keyCode = keyIdentity(payload.keyCode, payload.keysym);
      if (!p.keyCode) unusable(event, line, "it names no key (keyCode or keysym)");
    }
  } else {
    p.scrollY = payload.scrollY;
    p.scrollX = payload.scrollX;
    if (!p.scrollY && !p.scrollX) unusable(event, line, "it has no scrollY");
  }
  p.id = std::move(event.id);
  p.monotonicMs = event.monotonicMs;
  // What the step waits for and follows; a line without them (older or hand-written logs) is
  // posted where and as it was recorded.
  p.app = std::move(payload.app);
  p.window = payload.window;
  if (p.type == EventType::kMouseDown || p.isHover()) p.target = std::move(payload.target);
  // A password's key keeps its field: typed by an argument, it goes there.
  if (p.type == EventType::kKeyDown)
    p.focus = payload.focus ? std::move(payload.focus)
              : p.redacted  ? std::move(payload.target)
                            : std::nullopt;
  // Nothing to place the click in, unless it is pressed by its element alone.
  if (p.target && !p.target->bounds && p.point) p.target.reset();
  return p;
}

}  // namespace diruri
