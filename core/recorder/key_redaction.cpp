#include "core/recorder/key_redaction.hpp"

#include <algorithm>

namespace diruri {

bool movesFocus(const CapturedInputEvent& event) {
  if (event.type == EventType::kMouseDown) return true;
  if (event.type != EventType::kKeyDown || !event.keysym) return false;
  switch (*event.keysym) {
    case 0xff09:  // Tab
    case 0xfe20:  // ISO_Left_Tab (Shift+Tab)
    case 0xff89:  // KP_Tab
    case 0xff0d:  // Return
    case 0xff8d:  // KP_Enter
      return true;
    default:
      return false;
  }
}

KeyRedaction::KeyRedaction(FocusWatching& focus, bool holds) : focus_(focus), holds_(holds) {}

std::optional<KeyRedaction::Judgement> KeyRedaction::judge(
    const CapturedInputEvent& event, std::chrono::steady_clock::time_point at,
    std::optional<std::chrono::steady_clock::time_point> happenedAt) {
  const bool key = isKeyEvent(event.type);
  std::optional<Judgement> judgement;
  const std::optional<FocusWatching::FocusMoves> moves = holds_ ? focus_.focusMoves() : std::nullopt;
  if (key) {
    judgement.emplace();
    if (moves && at < awaitedUntil_) {
      judgement->afterMove = awaitedMove_;
      judgement->deadline = awaitedUntil_;
      judgement->lastMove = awaitedLast_;
    }
    if (moves && moves->heard > moves->known) {
      // A move heard whose element is still being asked.
      if (!judgement->afterMove || moves->heard < *judgement->afterMove) judgement->lastMove.reset();
      judgement->afterMove = std::min(judgement->afterMove.value_or(moves->heard), moves->heard);
      judgement->deadline = std::max(judgement->deadline, at + kFocusWait);
    }
    if (!judgement->afterMove) judgement->field = focus_.focusedSecretField();
  }
  // The key itself went where the focus was; what follows it waits for the focus it moved.
  if (moves && movesFocus(event)) {
    // An application may tell the focus this input gave before the input is delivered here.
    const uint64_t before =
        happenedAt ? std::min(moves->heard, focus_.movesHeardBefore(*happenedAt)) : moves->heard;
    if (awaitedLast_ && at - movedAt_ >= kFocusToldWithin) awaitedLast_->store(before);
    awaitedMove_ = std::max(awaitedMove_, before) + 1;
    awaitedUntil_ = at + kFocusWait;
    movedAt_ = at;
    awaitedLast_ = std::make_shared<std::atomic<uint64_t>>(UINT64_MAX);
  }
  return judgement;
}

std::optional<ElementTarget> KeyRedaction::fieldFor(FocusWatching& focus, const Judgement& judgement) {
  if (!judgement.afterMove) return judgement.field;
  return focus.secretFieldSince(*judgement.afterMove, judgement.deadline,
                                judgement.lastMove ? judgement.lastMove->load() : UINT64_MAX);
}

void KeyRedaction::apply(RecordingEvent& event, const std::optional<ElementTarget>& field) {
  if (!isKeyEvent(event.kind)) return;
  // Where there are no key codes, a release carries its press's keysym.
  const std::optional<int64_t> keyId = keyIdentity(event.payload.keyCode, event.payload.keysym);
  if (event.kind == EventType::kKeyDown || !keyId) {
    if (field) {
      event.payload.redacted = true;
      if (event.kind == EventType::kKeyDown) event.payload.target = field;
      if (keyId) redactedKeys_.insert(*keyId);
    }
  } else {
    event.payload.redacted = redactedKeys_.erase(*keyId) > 0;
  }
  if (event.payload.redacted) {
    event.payload.keyCode.reset();
    event.payload.keysym.reset();
    event.payload.text.reset();
  }
}

}  // namespace diruri
