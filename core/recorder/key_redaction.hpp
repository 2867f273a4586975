// Which keys went into a password field, so that the log keeps nothing of them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>

#include "core/capture/captured_input_event.hpp"
#include "core/capture/focus_watching.hpp"
#include "core/records/recording_event.hpp"

namespace diruri {

// A key is judged by the focus it went to. The focus is told late, by the application over the
// accessibility bus: keys that follow a Tab, an Enter or a click (as a password manager types
// "user, Tab, password" in one burst) are judged only once the focus that input moved is known,
// or its wait has passed. judge() runs on the capture thread, in capture order; fieldFor() and
// apply() run where the events are written, in the same order, one at a time.
class KeyRedaction {
 public:
  // The longest a key waits for the focus move before it to be heard.
  static constexpr std::chrono::milliseconds kFocusWait{500};

  struct Judgement {
    std::optional<ElementTarget> field;  // the password field known at capture
    // Or, when set: the field right after this focus move, waited for until `deadline`.
    std::optional<uint64_t> afterMove;
    std::chrono::steady_clock::time_point deadline;
    // The moves heard before the next input that moved the focus, once it came (a click that moved
    // none leaves its keys waiting for the next input's move otherwise); shared with the capture.
    std::shared_ptr<std::atomic<uint64_t>> lastMove;
  };
  // The next input that moves the focus this long after one that did bounds the moves its keys take:
  // an application tells the focus a click or Tab gave well within it, while in a burst (a password
  // manager's "user, Tab, password") the focus may be told after the next input.
  static constexpr std::chrono::milliseconds kFocusToldWithin{100};

  // `holds`: whether keys may wait for the focus at all (they are written off the capture thread).
  KeyRedaction(FocusWatching& focus, bool holds);

  // For a key, how to judge it; none for other events. Notes input that moves the focus.
  // `happenedAt`: when the input happened, where that is known to be before its delivery (`at`);
  // the moves heard after it are not the ones before it.
  std::optional<Judgement> judge(
      const CapturedInputEvent& event, std::chrono::steady_clock::time_point at,
      std::optional<std::chrono::steady_clock::time_point> happenedAt = std::nullopt);
  // The password field a judged key went to; may wait until the judgement's deadline.
  static std::optional<ElementTarget> fieldFor(FocusWatching& focus, const Judgement& judgement);
  // Marks a key event into `field` redacted and drops what tells the key; a release follows its
  // press, wherever the focus went meanwhile.
  void apply(RecordingEvent& event, const std::optional<ElementTarget>& field);

 private:
  FocusWatching& focus_;
  bool holds_;
  // Capture thread: the focus move the keys from now on wait for, and until when.
  uint64_t awaitedMove_ = 0;
  std::chrono::steady_clock::time_point awaitedUntil_;
  std::chrono::steady_clock::time_point movedAt_;
  std::shared_ptr<std::atomic<uint64_t>> awaitedLast_;
  // Writing order: the keys pressed while redacted, so that their releases are too.
  std::set<int64_t> redactedKeys_;
};

// Tab (Shift+Tab too), Enter, or a pointer press: input after which the focus may be elsewhere.
bool movesFocus(const CapturedInputEvent& event);

}  // namespace diruri
