// When each event of a replay is due: the recorded pauses at the speed asked for, within the rules
// that keep a replay working (no pause over 5 s, keys a little apart, no key held into repeating,
// a drag's moves a little apart, a hover's rest long enough to open what it opens, double clicks
// kept double and single clicks single).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>

#include "core/replay/replay_plan.hpp"

namespace diruri {

class Pacer {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // No pause of the recording is replayed longer than this: a person who went for coffee.
  static constexpr std::chrono::milliseconds kLongestPause{5000};
  // Keys a little apart even when recorded together, so applications see each on its own.
  static constexpr std::chrono::milliseconds kKeySpacing{5};
  // A key held shorter than this did not repeat; replayed slower, it must not start repeating.
  static constexpr int64_t kRepeatsAfterMs = 500;
  static constexpr std::chrono::milliseconds kLongestUnrepeatedHold{250};

  // Two presses of a button this close in time and place are one double click to the desktop
  // (toolkits take 400 ms where no setting says otherwise); presses kept apart are kept this much
  // further apart.
  static constexpr int64_t kDoubleClickMs = 400;
  static constexpr double kDoubleClickPx = 4;
  static constexpr std::chrono::milliseconds kDoubleClickMargin{100};
  // A drag's moves at speed 0, so that toolkits see its path rather than its end.
  static constexpr std::chrono::milliseconds kMoveSpacing{4};
  // The shortest rest after a hover (what opens on hover takes a moment), and at speed 0 the longest.
  static constexpr std::chrono::milliseconds kShortestHoverRest{300};
  static constexpr std::chrono::milliseconds kLongestHoverRestAtSpeedZero{1000};
  // At speed 0, after an Enter or a click where the application tells nothing of its state (no
  // element recorded with it), the next press waits the recorded pause, at most this: a terminal
  // printing, a paste arriving.
  static constexpr std::chrono::milliseconds kLongestUnseenPause{300};

  // `speed` 0 posts every event as soon as it can be; otherwise the recorded pauses are divided by it.
  Pacer(double speed, Time start) : speed_(speed), due_(start) {}

  // When `event`, the next one to be posted, is due; none at speed 0 where no rule holds it back.
  // Call once per posted event, in order; a redacted key is not posted, and the time it took stays
  // in the pause before the next.
  std::optional<Time> dueFor(const Planned& event);
  // A press that makes a double (or triple) click with the press before it, as recorded.
  bool continuesClick(const Planned& event) const;
  // From `now` on (the replay was behind, or waited for a window or an element), later pauses keep
  // their recorded length rather than being skipped to catch up.
  void restartAt(Time now);
  // When it is later than the time due: the time is now.
  void notBefore(Time now);
  // The event is not posted (typed text took its place): the time it took is not paused for.
  void passedOver(const Planned& event) {
    if (event.monotonicMs) previousMs_ = event.monotonicMs;
  }
  // The event was posted at `now`: a key's press is remembered for the hold of its release, a
  // click's for the next press, a hover for the rest after it.
  void posted(const Planned& event, Time now);

 private:
  // The recorded pause before `event` at the speed asked for, on the running schedule.
  std::optional<Time> recordedDue(const Planned& event);

  struct Press {
    int64_t button;
    Point point;
    std::optional<int64_t> ms;
    Time postedAt;
  };
  double speed_;
  Time due_;
  std::optional<int64_t> previousMs_;
  std::optional<Time> lastPostedAt_;
  std::optional<Press> lastPress_;
  std::optional<std::pair<std::optional<int64_t>, Time>> hover_;  // recorded and posted
  // The last action whose effect cannot be seen: when it was recorded and posted.
  struct Unseen {
    std::optional<int64_t> ms;
    Time postedAt;
  };
  std::optional<Unseen> unseen_;
  bool lastPressHadElement_ = false;
  // Per key pressed and not yet released: when it was pressed in the recording and here.
  std::map<int64_t, std::pair<std::optional<int64_t>, Time>> held_;
};

}  // namespace diruri
