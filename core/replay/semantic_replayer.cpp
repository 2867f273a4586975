// The step loop of a replay: each recorded input event paced, waited for its window, placed and
// posted; finding the recording, reading it, pacing and placing are parts of their own.
#include "core/replay/semantic_replayer.hpp"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "core/platform/path.hpp"
#include "core/replay/pacer.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/event_log.hpp"
#include "core/store/workspace_layout.hpp"
#include "core/text/keysym_text.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

using std::chrono::milliseconds;
using Status = ReplayStep::Status;
using Via = ReplayStep::Via;

// How often a step looks again for its window or element.
constexpr milliseconds kWindowPoll{25};
// How long a click looks for an element that is not there before it goes by the window instead; an
// element that is there waits the whole step's wait to be shown and enabled.
constexpr milliseconds kElementSearch{1000};
// How long a key waits for its element to take the focus by itself before it is given it.
constexpr milliseconds kFocusComesBy{500};
// An element is still when its extent is the same on two reads this far apart.
constexpr milliseconds kStillFor{30};

bool isRecordedWindow(const ForegroundAppSnapshot& recorded, const std::optional<FrontWindow>& front) {
  return front && isSameWindow(recorded, front->app);
}

std::string describe(const ForegroundAppSnapshot& app) {
  std::string text = app.appName;
  if (app.windowTitle) text += " window \"" + *app.windowTitle + "\"";
  return text;
}

std::string seconds(milliseconds wait) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(wait.count()) / 1000);
  return text;
}

// Why a post did not happen, in words.
std::string postFailure(const Planned& p, PostResult result) {
  char text[160];
  if (result == PostResult::Unreachable) {
    std::snprintf(text, sizeof text, "The display went away.");
  } else if (p.point) {
    std::snprintf(text, sizeof text, "The point (%g, %g) is outside the display's coordinates.", p.point->x,
                  p.point->y);
  } else if (p.scrollY) {
    std::snprintf(text, sizeof text, "A scroll of %lld steps is more than a wheel makes.",
                  static_cast<long long>(*p.scrollY));
  } else if (p.keysym) {
    std::snprintf(text, sizeof text, "No key produces keysym 0x%llx, and no key code is free to give it.",
                  static_cast<unsigned long long>(*p.keysym));
  } else {
    std::snprintf(text, sizeof text, "Key code %lld cannot be posted on this display.",
                  static_cast<long long>(*p.keyCode));
  }
  return text;
}

// Ends the reading of a recording early.
struct StopReading {};

// A typing step whose recorded keys an argument's text replaces.
struct ArgumentStep {
  std::string name;
  std::string text;                         // typed, and said nowhere
  std::optional<std::string> recordedText;  // what the recording typed there (its default)
  std::optional<ElementTarget> field;       // the element its keys went to, where known
  bool typed = false;
};

// The key an argument's characters are paired by: no recorded key has it.
constexpr int64_t kArgumentKey = -(int64_t{1} << 40);

// The text a field holds after an argument was typed where the recording typed `typed`: `seen`
// with the last `typed` in it replaced; none when that cannot be told (the recorded text is not
// in it, or was cut).
std::optional<std::string> textWithArgument(const Observation& seen, const ArgumentStep& a) {
  if (!seen.text || seen.cut || !a.recordedText || a.recordedText->empty()) return std::nullopt;
  const size_t at = seen.text->rfind(*a.recordedText);
  if (at == std::string::npos) return std::nullopt;
  return firstScalars(seen.text->substr(0, at) + a.text + seen.text->substr(at + a.recordedText->size()),
                      Observation::kLongestText);
}

}  // namespace

void ReplayControl::requestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  woken_.notify_all();
}

bool ReplayControl::sleepUntil(Clock& clock, Clock::SteadyTime deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  clock.waitUntil(deadline, woken_, lock, [this] { return stop_.load(); });
  return !stop_;
}

std::string ReplayControl::stopAndWait(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (outcome_) return *outcome_;
  stop_ = true;
  woken_.notify_all();
  woken_.wait_for(lock, wait, [this] { return outcome_.has_value(); });
  return outcome_.value_or("stopped");
}

std::string ReplayControl::settle(std::string status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) status = "stopped";
    outcome_ = status;
  }
  woken_.notify_all();
  return status;
}

void ReplayControl::report(size_t done, size_t total) {
  done_ = done;
  total_ = total;
  if (onProgress) onProgress(done, total);
}

// One replay's posting: the events come one at a time, as the recording is read. Once a step has
// failed or a stop has come, the posting ends (what is held is released, the outcome settled) and
// the events that follow are only recorded as skipped.
class SemanticReplayer::Run {
 public:
  Run(SemanticReplayer& replayer, const ReplayOptions& options, ReplayControl* control, size_t total)
      : r_(replayer),
        options_(options),
        control_(control),
        total_(total),
        pacer_(options.speed, replayer.clock_.steadyNow()),
        windowsKnown_(replayer.windows_.knowsFrontWindow()) {
    result_.steps.reserve(total);
    if (control_) control_->report(0, total_);
  }

  // The events before this one are skipped: the agent did their steps by hand.
  void beginAt(std::string eventId) { beginAt_ = std::move(eventId); }
  // The typing steps whose keys arguments replace, and the step of each of their events.
  void typeArguments(std::vector<ArgumentStep> steps, std::unordered_map<std::string, size_t> stepOf) {
    arguments_ = std::move(steps);
    argumentOf_ = std::move(stepOf);
  }

  void offer(Planned p) {
    lastArgument_ = nullptr;
    ReplayStep& step = result_.steps.emplace_back();
    step.eventId = std::move(p.id);
    step.type = p.type;
    if (ended_) {
      step.reason = skipReason_;
      return;
    }
    if (beginAt_ && *beginAt_ != step.eventId) {
      step.reason = "before fromStep";
      if (control_) control_->report(result_.steps.size(), total_);
      return;
    }
    beginAt_.reset();
    const auto argument = argumentOf_.find(step.eventId);
    lastArgument_ = argument != argumentOf_.end() ? &arguments_[argument->second] : nullptr;
    if (lastArgument_) step.argument = lastArgument_->name;
    lastTarget_ = p.target;
    lastPoint_ = p.point;
    lastApp_ = p.app;
    if (std::optional<std::string> failure = replay(p, step)) {
      step.status = Status::kFailed;
      step.reason = std::move(*failure);
      handOver();
      end(false, true);
    } else if (stopped_) {
      step.reason = "The replay was stopped.";
      end(true, false);
    } else if (control_) {
      control_->report(result_.steps.size(), total_);
    }
  }

  // The recording could not be read to its end (it changed on disk since it was checked).
  void failReading(const std::string& why) {
    if (ended_) return;
    if (!result_.steps.empty() && result_.steps.back().status == Status::kSkipped) {
      result_.steps.back().status = Status::kFailed;
      result_.steps.back().reason = why;
    }
    end(false, true);
  }

  // What the recording observed after the step just done, checked: a check that fails fails that
  // step, and the replay ends there.
  void observe(const Observation& seen) {
    if (ended_ || result_.steps.empty()) return;
    ReplayStep& step = result_.steps.back();
    // A step not posted (before fromStep, a password's key the agent types) has nothing to check.
    if (step.status != Status::kReplayed) return;
    Observation expected = seen;
    if (lastArgument_ && seen.kind == Observation::Kind::kText && !seen.notEmpty) {
      // The field holds the argument where the recording typed its own text.
      expected.text = textWithArgument(seen, *lastArgument_);
      if (!expected.text) return;
    }
    std::optional<std::string> failure = check(expected, step);
    if (stopped_) {
      end(true, false);
      return;
    }
    if (!failure) {
      ++result_.checksPassed;
      return;
    }
    ++result_.checksFailed;
    step.status = Status::kFailed;
    step.reason = std::move(*failure);
    // The element checked is what the agent looks for: where it was recorded.
    if (seen.element) {
      lastTarget_ = seen.element;
      if (const std::optional<WindowGeometry>& b = seen.element->bounds)
        lastPoint_ = Point{b->x + b->width / 2.0, b->y + b->height / 2.0};
    }
    handOver();
    end(false, true);
  }

  SemanticReplayResult finish() {
    if (!ended_) end(false, false);
    return std::move(result_);
  }

 private:
  // The posting ends: what the replay holds is released and how it ended is settled, before the
  // rest of a long recording is gone through, so that a stop waiting for it answers at once.
  void end(bool wasStopped, bool failed) {
    ended_ = true;
    r_.poster_.end();
    result_.status = wasStopped ? "stopped" : failed ? "failed" : "success";
    if (control_) result_.status = control_->settle(result_.status);
    skipReason_ = result_.status == "stopped" ? "The replay was stopped." : "An earlier step failed.";
  }

  bool stopRequested() const { return control_ && control_->stopRequested(); }

  // Waits, at most until `deadline`, for `seen` to hold again; the check, and the reason when it
  // does not hold.
  std::optional<std::string> check(const Observation& seen, ReplayStep& step) {
    r_.poster_.sync();
    const Clock::SteadyTime deadline =
        r_.clock_.steadyNow() +
        (seen.kind == Observation::Kind::kWindow ? options_.targetWait : options_.checkWait);
    ReplayStep::Check done;
    done.kind = std::string(observationKindName(seen.kind));
    std::string why;
    for (;;) {
      const std::optional<FrontWindow> front = r_.windows_.frontWindow();
      if (seen.kind == Observation::Kind::kWindow || seen.kind == Observation::Kind::kFront) {
        done.expected = describe(*seen.window);
        done.observed = front ? describe(front->app) : "no window";
        done.ok = front && isSameWindow(*seen.window, front->app);
        why = "The " + done.expected + " is not in front; the " + done.observed + " is.";
      } else {
        const std::optional<ElementFinding::ElementState> state =
            front ? r_.elements_.elementState(front->app.processId, *seen.element) : std::nullopt;
        const std::string what = "The " + seen.element->describe();
        if (seen.kind == Observation::Kind::kText && seen.notEmpty) {
          // A password field: only whether it holds something, never its text.
          const auto words = [](bool full) { return std::string(full ? "not empty" : "empty"); };
          done.expected = words(true);
          done.observed = state ? words(state->notEmpty) : "not found";
          done.ok = state && state->notEmpty;
          why = !state ? what + " was not found, so it could not be checked."
                       : what + " is empty, expected it to hold the password typed.";
        } else if (seen.kind == Observation::Kind::kText) {
          done.expected = seen.text.value_or("");
          const std::optional<std::string> text = state ? state->text : std::nullopt;
          done.observed = text ? firstScalars(*text, Observation::kLongestText) : "";
          done.ok = text && done.observed == done.expected;
          why = !state  ? what + " was not found, so its text could not be checked."
                : !text ? what + " has no text that can be read."
                        : what + " holds " + quotedData(done.observed, Observation::kLongestText) +
                              ", expected " + quotedData(done.expected, Observation::kLongestText) + ".";
        } else {
          const auto words = [](bool on) { return std::string(on ? "checked" : "not checked"); };
          done.expected = words(*seen.checked);
          done.observed = state && state->checked ? words(*state->checked) : "not found";
          done.ok = state && state->checked == seen.checked;
          why = what + " is " + done.observed + ", expected " + done.expected + ".";
        }
      }
      if (done.ok || r_.clock_.steadyNow() >= deadline) break;
      if (!sleepUntil(std::min(deadline, r_.clock_.steadyNow() + kWindowPoll))) {
        stopped_ = true;
        break;
      }
    }
    step.check = done;
    if (done.ok || stopped_) return std::nullopt;
    return why;
  }

  // What the agent needs to take over at the failed step, the last one.
  void handOver() {
    Handover h;
    h.stepIndex = result_.steps.size() - 1;
    h.eventId = result_.steps.back().eventId;
    h.target = lastTarget_;
    h.point = lastPoint_;
    if (lastPoint_) {
      const std::optional<FrontWindow> front = r_.windows_.frontWindow();
      if (front) h.nearby = r_.elements_.elementsNear(front->app.processId, lastPoint_->x, lastPoint_->y, 10);
    }
    result_.handover = std::move(h);
  }

  // Waits until `deadline`; false when stopped meanwhile.
  bool sleepUntil(Clock::SteadyTime deadline) {
    if (control_) return control_->sleepUntil(r_.clock_, deadline);
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock<std::mutex> lock(mutex);
    r_.clock_.waitUntil(deadline, never, lock, [] { return false; });
    return true;
  }

  // Posts one event; the reason when its step failed. Sets stopped_ when a stop came first.
  std::optional<std::string> replay(const Planned& p, ReplayStep& step) {
    if (stopRequested()) {
      stopped_ = true;
      return std::nullopt;
    }
    // The first event of a step an argument replaces types the argument; its others are done by it.
    if (lastArgument_ && lastArgument_->typed) {
      pacer_.passedOver(p);
      step.status = Status::kReplayed;
      return std::nullopt;
    }
    // A key typed into a password field was not recorded; the agent types it. The time it took
    // stays in the pause before the next event.
    if (p.redacted && !lastArgument_) {
      step.reason = "redacted";
      return std::nullopt;
    }
    if (const std::optional<Clock::SteadyTime> due = pacer_.dueFor(p)) {
      const Clock::SteadyTime now = r_.clock_.steadyNow();
      if (*due > now) {
        r_.poster_.sync();
        if (!sleepUntil(*due)) {
          stopped_ = true;
          return std::nullopt;
        }
      } else {
        pacer_.restartAt(now);  // behind: later pauses keep their recorded length
      }
    }
    std::optional<FrontWindow> front;
    if (p.app && p.needsWindow() && windowsKnown_) {
      if (std::optional<std::string> failure = waitForWindow(*p.app, front)) return failure;
      if (stopped_) return std::nullopt;
    }
    if (lastArgument_) {
      std::optional<std::string> failure = typeArgument(*lastArgument_, front);
      if (failure || stopped_) return failure;
      step.status = Status::kReplayed;
      return std::nullopt;
    }
    PostResult posted = PostResult::Posted;
    if (!p.point && isMouseButtonEvent(p.type)) {
      // A click known only by its element: pressed by the element's own action, its release in it.
      if (p.type == EventType::kMouseDown) {
        std::optional<std::string> failure = pressByAction(p, front, step);
        if (failure || stopped_) return failure;
      } else {
        step.via = Via::kAction;
      }
    } else if (p.point) {
      std::optional<std::string> failure = pointer(p, front, step, posted);
      if (failure || stopped_) return failure;
    } else if (p.isKey()) {
      if (p.focus && front) {
        std::optional<std::string> failure = giveFocus(*p.focus, *front);
        if (failure || stopped_) return failure;
      }
      posted = r_.poster_.postKey(*p.keyCode, p.keysym, p.type == EventType::kKeyDown);
    } else {
      if (p.scrollY) posted = r_.poster_.postScroll(*p.scrollY, false);
      if (p.scrollX && posted == PostResult::Posted) posted = r_.poster_.postScroll(*p.scrollX, true);
    }
    if (posted != PostResult::Posted) return postFailure(p, posted);
    pacer_.posted(p, r_.clock_.steadyNow());
    step.status = Status::kReplayed;
    return std::nullopt;
  }

  // A key goes to the element that had the focus when it was typed: waited for a moment (a field
  // may take the focus a little after its click), else given the focus, else the step fails rather
  // than type into whatever has it.
  std::optional<std::string> giveFocus(const ElementTarget& focus, const FrontWindow& front) {
    const int32_t pid = front.app.processId;
    std::optional<ElementFinding::ElementState> focused;
    const auto hasIt = [&] {
      focused = r_.elements_.focusedElement(pid);
      return focused && focused->element.role == focus.role && focused->element.name == focus.name;
    };
    if (hasIt()) return std::nullopt;
    // Where the focus cannot be seen at all (no bus, an application that does not answer), the key
    // goes as it is; a focus seen elsewhere is waited for, even when a search timed out on a loaded
    // desktop.
    if (!focused && !r_.elements_.findElement(pid, focus).available) return std::nullopt;
    const Clock::SteadyTime started = r_.clock_.steadyNow();
    const Clock::SteadyTime deadline = started + options_.targetWait;
    bool asked = false;
    while (!hasIt()) {
      const Clock::SteadyTime now = r_.clock_.steadyNow();
      if (now >= deadline) {
        return "The " + focus.describe() + " did not take the keyboard focus within " +
               seconds(options_.targetWait) + " s, so the key is not typed into whatever has it.";
      }
      if (!asked && now >= started + kFocusComesBy) {
        asked = true;
        r_.elements_.focusElement(pid, focus);
      }
      if (!sleepUntil(std::min(deadline, now + kWindowPoll))) {
        stopped_ = true;
        return std::nullopt;
      }
    }
    pacer_.notBefore(r_.clock_.steadyNow());
    return std::nullopt;
  }

  // Types an argument's text into its field, a character at a time by its keysym (a key the
  // keyboard map lacks is borrowed); the reason when it could not be. A secret's text is never
  // part of the reason.
  std::optional<std::string> typeArgument(ArgumentStep& a, const std::optional<FrontWindow>& front) {
    a.typed = true;
    if (a.field && front) {
      std::optional<std::string> failure = giveFocus(*a.field, *front);
      if (failure || stopped_) return failure;
    }
    const std::vector<char32_t> characters = decodeUtf8(a.text);
    for (size_t i = 0; i < characters.size(); ++i) {
      if (stopRequested()) {
        stopped_ = true;
        return std::nullopt;
      }
      // The arguments were checked: every character has a keysym.
      const int64_t keysym = keysymOf(characters[i]).value_or(0);
      PostResult posted = r_.poster_.postKey(kArgumentKey, keysym, true);
      if (posted == PostResult::Posted) posted = r_.poster_.postKey(kArgumentKey, keysym, false);
      if (posted != PostResult::Posted) {
        return "Character " + std::to_string(i + 1) + " of the argument " + a.name + " could not be typed: " +
               (posted == PostResult::Unreachable
                    ? std::string("the display went away.")
                    : std::string("no key produces it, and no key code is free to give it."));
      }
      // Applications see each character on its own, as they would a person's keys.
      r_.poster_.sync();
      if (!sleepUntil(r_.clock_.steadyNow() + Pacer::kKeySpacing)) {
        stopped_ = true;
        return std::nullopt;
      }
    }
    pacer_.restartAt(r_.clock_.steadyNow());
    return std::nullopt;
  }

  // Waits, as the person did, for the window the person acted in.
  std::optional<std::string> waitForWindow(const ForegroundAppSnapshot& app,
                                           std::optional<FrontWindow>& front) {
    r_.poster_.sync();  // what was posted before has reached the applications
    const Clock::SteadyTime deadline = r_.clock_.steadyNow() + options_.targetWait;
    front = r_.windows_.frontWindow();
    bool waited = false;
    while (!isRecordedWindow(app, front) && r_.clock_.steadyNow() < deadline) {
      waited = true;
      if (!sleepUntil(std::min(deadline, r_.clock_.steadyNow() + kWindowPoll))) break;
      front = r_.windows_.frontWindow();
    }
    if (stopRequested()) {
      stopped_ = true;
      return std::nullopt;
    }
    if (!isRecordedWindow(app, front)) {
      return "The " + describe(app) + " did not come to the front within " + seconds(options_.targetWait) +
             " s.";
    }
    if (waited) pacer_.restartAt(r_.clock_.steadyNow());
    return std::nullopt;
  }

  // Where a press, a move or a release goes now, and posted there.
  std::optional<std::string> pointer(const Planned& p, const std::optional<FrontWindow>& front,
                                     ReplayStep& step, PostResult& posted) {
    if (p.type == EventType::kMouseDown) {
      if (pacer_.continuesClick(p)) {
        // The second press of a double click goes where the first went, without looking again:
        // a search could take longer than the desktop waits for it.
        step.via = pressVia_;
        if (pressedByAction_) return std::nullopt;
        const Point at = placement_.place(*p.point, true);
        posted = r_.poster_.postMouse(at.x, at.y, true, p.button);
        return std::nullopt;
      }
      Point at = *p.point;
      std::optional<std::string> failure = placePress(p, front, step, at);
      if (failure || stopped_) return failure;
      pressVia_ = step.via;
      posted = r_.poster_.postMouse(at.x, at.y, true, p.button);
      // An element found where the pointer cannot go (off the screen) is pressed by its action.
      if (posted == PostResult::Inexpressible && placement_.onElement() &&
          r_.elements_.activateElement(front->app.processId, *p.target)) {
        posted = PostResult::Posted;
        pressedByAction_ = true;
        step.via = pressVia_ = Via::kAction;
      }
      return std::nullopt;
    }
    if (p.isHover()) {
      const Point at = placeHover(p, front);
      posted = r_.poster_.postMove(at.x, at.y);
      return std::nullopt;
    }
    // A drag's moves and a release follow their press, wherever it was placed.
    if (pressedByAction_) return std::nullopt;  // the action was the whole click
    const Point at = placement_.place(*p.point, true);
    posted = p.type == EventType::kMouseUp ? r_.poster_.postMouse(at.x, at.y, false, p.button)
                                           : r_.poster_.postMove(at.x, at.y);
    return std::nullopt;
  }

  // A press placed on its element found again, else at its place in its window when the element
  // there is the one recorded (or none was recorded).
  std::optional<std::string> placePress(const Planned& p, const std::optional<FrontWindow>& front,
                                        ReplayStep& step, Point& at) {
    placement_.clear();
    pressedByAction_ = false;
    step.via = Via::kWindow;
    bool searched = false, available = false;
    if (p.target && front) {
      searched = true;
      std::optional<std::string> failure = findElement(p, *front, at, step, available);
      if (failure || stopped_) return failure;
    }
    if (placement_.onElement()) return std::nullopt;
    if (p.window && front && front->geometry) {
      // A point beside its window has no place in the window as it is now: following the window
      // would put the click on whatever lies beside it here.
      if (!isInside(*p.point, *p.window)) {
        const WindowGeometry& w = *p.window;
        char text[200];
        std::snprintf(text, sizeof text,
                      "The click at (%g, %g) lies outside its window as recorded (%d, %d, %d x %d), so it "
                      "cannot be placed in that window now.",
                      p.point->x, p.point->y, w.x, w.y, w.width, w.height);
        return std::string(text);
      }
      placement_.byWindow(*p.window, *front->geometry);
    }
    at = placement_.place(*p.point, false);
    if (!searched) return std::nullopt;
    // The element was not found: its place in the window will do only if that element is there.
    if (!available) {
      return "The " + p.target->describe() + " could not be looked for: " + describe(front->app) +
             " does not answer on the accessibility bus, so the click is not made blind.";
    }
    const std::optional<ElementTarget> there =
        r_.elements_.elementAt(front->app.processId, at.x, at.y, r_.clock_.steadyNow() + kElementSearch);
    if (there && there->role == p.target->role && there->name == p.target->name) return std::nullopt;
    return "The " + p.target->describe() + " was not found in the " + describe(front->app) +
           ", and at its place in the window there is " +
           (there ? "the " + there->describe() : std::string("no accessible element")) +
           ", so the click is not made there.";
  }

  static bool isReady(const ElementFinding::ElementSearch& search) {
    return search.found && search.found->showing && search.found->enabled;
  }

  // The element as `find` finds it once it is shown and enabled, or as it is at `deadline`: one not
  // there, or a bus that does not answer, is looked for kElementSearch only; one that is there waits
  // until `deadline`. A stop ends the looking.
  ElementFinding::ElementSearch lookFor(const std::function<ElementFinding::ElementSearch()>& find,
                                        Clock::SteadyTime deadline) {
    const Clock::SteadyTime started = r_.clock_.steadyNow();
    ElementFinding::ElementSearch search = find();
    while (!isReady(search) && r_.clock_.steadyNow() < deadline &&
           (search.found || r_.clock_.steadyNow() < started + kElementSearch)) {
      if (!sleepUntil(std::min(deadline, r_.clock_.steadyNow() + kWindowPoll))) break;
      search = find();
    }
    return search;
  }

  // A press recorded by its element alone (no point on the screen was known): the element found
  // again in the application's windows, shown and enabled, then its action (press, click, toggle,
  // activate), or for a text field the focus. The reason when it cannot be done.
  std::optional<std::string> pressByAction(const Planned& p, const std::optional<FrontWindow>& front,
                                           ReplayStep& step) {
    step.via = Via::kAction;
    if (!front) {
      return "The " + p.target->describe() +
             " was clicked where no window in front can be known, so it cannot be found again.";
    }
    const int32_t pid = front->app.processId;
    const Clock::SteadyTime deadline = r_.clock_.steadyNow() + options_.targetWait;
    const ElementFinding::ElementSearch search =
        lookFor([&] { return r_.elements_.findElement(pid, *p.target); }, deadline);
    if (stopRequested()) {
      stopped_ = true;
      return std::nullopt;
    }
    if (!search.found) {
      return "The " + p.target->describe() + " was not found in the " + describe(front->app) +
             (search.available ? "" : ", which does not answer on the accessibility bus") +
             ", and its place on the screen is not known here, so the click is not made.";
    }
    if (!isReady(search)) {
      return "The " + p.target->describe() + " was not shown and enabled within " +
             seconds(options_.targetWait) + " s.";
    }
    const std::string& role = p.target->role;
    const bool field = role == "text" || role == "password text" || role == "entry" || role == "terminal";
    const bool done =
        field ? r_.elements_.focusElement(pid, *p.target) : r_.elements_.activateElement(pid, *p.target);
    if (!done) {
      return "The " + p.target->describe() + " has no action that presses it" +
             std::string(field ? " (it did not take the focus)" : "") +
             ", and its place on the screen is not known here, so the click is not made.";
    }
    pacer_.notBefore(r_.clock_.steadyNow());
    return std::nullopt;
  }

  // A hover goes onto its element found again, else to its place in its window; a hover in the
  // wrong place only fails to open something, which the next step's search finds out.
  Point placeHover(const Planned& p, const std::optional<FrontWindow>& front) {
    Point at = *p.point;
    if (p.target && front && p.target->bounds) {
      const ElementFinding::ElementSearch search = r_.elements_.findElement(front->app.processId, *p.target);
      if (search.found && search.found->showing && !search.found->element.windowRelative) {
        return insideElement(*p.point, *p.target->bounds, *search.found->element.bounds);
      }
    }
    if (p.window && front && front->geometry && isInside(*p.point, *p.window)) {
      PressPlacement byWindow;
      byWindow.byWindow(*p.window, *front->geometry);
      at = byWindow.place(*p.point, false);
    }
    return at;
  }

  // The element clicked, found again, shown and enabled: where in it the press goes now.
  std::optional<std::string> findElement(const Planned& p, const FrontWindow& front, Point& at,
                                         ReplayStep& step, bool& available) {
    const Clock::SteadyTime deadline = r_.clock_.steadyNow() + options_.targetWait;
    // An element found where its place on the screen is not known cannot have the pointer placed on it.
    const auto find = [&] {
      ElementFinding::ElementSearch found = r_.elements_.findElement(front.app.processId, *p.target);
      if (found.found && found.found->element.windowRelative) found.found.reset();
      return found;
    };
    ElementFinding::ElementSearch search = lookFor(find, deadline);
    available = search.available;
    // Shown and enabled, and no longer moving (a list still scrolling, a dialog still growing).
    while (isReady(search) && r_.clock_.steadyNow() < deadline) {
      const std::optional<WindowGeometry> before = search.found->element.bounds;
      if (!sleepUntil(std::min(deadline, r_.clock_.steadyNow() + kStillFor))) break;
      ElementFinding::ElementSearch again = find();
      const bool still = again.found && again.found->element.bounds == before;
      search = std::move(again);
      if (still) break;
    }
    if (stopRequested()) {
      stopped_ = true;
      return std::nullopt;
    }
    if (search.found && !isReady(search)) {
      return "The " + p.target->describe() + " was not shown and enabled within " +
             seconds(options_.targetWait) + " s.";
    }
    if (search.found) {
      at = insideElement(*p.point, *p.target->bounds, *search.found->element.bounds);
      placement_.onElement(*p.point, at);
      step.via = Via::kElement;
      pacer_.notBefore(r_.clock_.steadyNow());
    }
    return std::nullopt;
  }

  SemanticReplayer& r_;
  const ReplayOptions& options_;
  ReplayControl* control_;
  size_t total_;
  Pacer pacer_;
  const bool windowsKnown_;  // where no window can be known, a press goes where it was recorded
  PressPlacement placement_;
  bool pressedByAction_ = false;        // the last press was the element's action: its release is in it
  std::optional<std::string> beginAt_;  // fromStep's first event, until it comes
  // The last step offered: what a hand-over names.
  std::optional<ElementTarget> lastTarget_;
  std::optional<Point> lastPoint_;
  std::optional<ForegroundAppSnapshot> lastApp_;
  Via pressVia_ = Via::kNone;  // the route of the last press, which a double click's next one takes
  std::vector<ArgumentStep> arguments_;
  std::unordered_map<std::string, size_t> argumentOf_;  // by event id: the step of arguments_ it is in
  ArgumentStep* lastArgument_ = nullptr;                // that of the event being replayed, if any
  bool stopped_ = false;
  bool ended_ = false;
  std::string skipReason_;
  SemanticReplayResult result_;
};

SemanticReplayResult SemanticReplayer::replay(const std::string& workspacePath, const std::string& skillId,
                                              const ReplayOptions& options, ReplayControl* control) {
  const std::string workspace = layout::absoluteWorkspace(fileSystem_, workspacePath);
  const std::string skill = findSkill(fileSystem_, workspace, localSkillStore_, skillId);
  const std::optional<std::string> logPath = recordingOfSkill(fileSystem_, workspace, skill);
  if (!logPath) throw SemanticReplayerError(SemanticReplayerError::Code::invalidRecording);
  using Code = SemanticReplayerError::Code;

  // The arguments, checked against the skill's parameters before anything is posted.
  const std::vector<SkillParameter> parameters = readSkillParameters(fileSystem_, skill);
  if (std::optional<std::string> problem =
          argumentsProblem(parameters, options.arguments, options.fromStep.value_or(0)))
    throw SemanticReplayerError(Code::invalidArgument, *problem);
  std::vector<SkillStep> skillSteps;
  if (options.fromStep || !options.arguments.empty()) skillSteps = readSkillSteps(fileSystem_, skill);
  std::vector<ArgumentStep> argumentSteps;
  std::unordered_map<std::string, size_t> argumentOf;
  for (const auto& argument : options.arguments) {
    const std::string& name = argument.first;
    const SkillParameter& parameter = *std::find_if(parameters.begin(), parameters.end(),
                                                    [&](const SkillParameter& p) { return p.name == name; });
    const SkillStep* typed = parameter.step < skillSteps.size() ? &skillSteps[parameter.step] : nullptr;
    if (!typed || (typed->kind != "type" && typed->kind != "password") || typed->evidenceEventIds.empty()) {
      throw SemanticReplayerError(Code::invalidArgument, "The parameter " + name +
                                                             " names no typing step of the skill's "
                                                             "references/steps.json, so it cannot be typed.");
    }
    for (const std::string& id : typed->evidenceEventIds) argumentOf.emplace(id, argumentSteps.size());
    argumentSteps.push_back(ArgumentStep{name, argument.second, parameter.defaultText, std::nullopt});
  }

  // The whole recording is checked before anything is posted, and counted; a long one takes
  // seconds to read, and a stop meanwhile ends the replay there. The field of each typing step an
  // argument replaces is found on the way: the focus its keys went to.
  size_t total = 0;
  try {
    readEvents(fileSystem_, *logPath, LogReading::Strict, [&](RecordingEvent& event, const EventLine& line) {
      if (control && line.number % 1024 == 0 && control->stopRequested()) throw StopReading{};
      std::optional<Planned> p = plan(event, line);
      if (!p) return;
      ++total;
      if (const auto it = argumentOf.find(p->id);
          it != argumentOf.end() && !argumentSteps[it->second].field) {
        argumentSteps[it->second].field = p->focus;
      }
    });
  } catch (const StopReading&) {
    SemanticReplayResult stopped;
    stopped.status = control->settle("stopped");
    return stopped;
  }

  // fromStep: the first event of that step of the skill's steps.json.
  std::optional<std::string> beginAt;
  if (options.fromStep) {
    const std::vector<SkillStep>& steps = skillSteps;
    if (*options.fromStep >= steps.size() || steps[*options.fromStep].evidenceEventIds.empty()) {
      throw SemanticReplayerError(SemanticReplayerError::Code::invalidArgument,
                                  "fromStep " + std::to_string(*options.fromStep) +
                                      " is not a step of the skill: its "
                                      "references/steps.json has " +
                                      std::to_string(steps.size()) + " steps, numbered from 0.");
    }
    beginAt = steps[*options.fromStep].evidenceEventIds.front();
  }

  // Reporting steps that were never posted would be a failure dressed as success.
  if (!poster_.begin()) {
    poster_.end();
    throw SemanticReplayerError(SemanticReplayerError::Code::posterUnavailable);
  }
  Run run(*this, options, control, total);
  if (beginAt) run.beginAt(*beginAt);
  run.typeArguments(std::move(argumentSteps), std::move(argumentOf));
  try {
    readEvents(fileSystem_, *logPath, LogReading::Strict, [&](RecordingEvent& event, const EventLine& line) {
      if (event.kind == EventType::kObservation && event.payload.observation) {
        run.observe(*event.payload.observation);
      } else if (std::optional<Planned> p = plan(event, line)) {
        run.offer(std::move(*p));
      }
    });
  } catch (const std::exception& e) {
    // Posting has begun: nothing is thrown from here on, and what is held is released.
    run.failReading("The recording could not be read to its end: " + std::string(e.what()) + ".");
  }
  SemanticReplayResult result = run.finish();
  if (result.handover) {
    for (const SkillStep& step : readSkillSteps(fileSystem_, skill)) {
      const auto& ids = step.evidenceEventIds;
      if (std::find(ids.begin(), ids.end(), result.handover->eventId) != ids.end()) {
        result.handover->words = step.words;
        break;
      }
    }
  }
  return result;
}

bool SemanticReplayResult::verified() const {
  if (status != "success" || checksPassed == 0 || checksFailed > 0) return false;
  return std::all_of(steps.begin(), steps.end(),
                     [](const ReplayStep& step) { return step.status == ReplayStep::Status::kReplayed; });
}

JsonValue Handover::toJson() const {
  JsonObject o{{"stepIndex", JsonValue(static_cast<long long>(stepIndex))}, {"eventId", eventId}};
  putOptional(o, "words", words);
  if (target) o.emplace("target", target->toJson());
  if (point) o.emplace("point", JsonObject{{"x", point->x}, {"y", point->y}});
  JsonArray near;
  for (const ElementTarget& element : nearby) {
    JsonObject e{{"role", element.role}};
    putOptional(e, "name", element.name);
    if (element.bounds) e.emplace("bounds", element.bounds->toJson());
    near.push_back(std::move(e));
  }
  o.emplace("nearby", std::move(near));
  putOptional(o, "screenshotPath", screenshotPath);
  return o;
}

}  // namespace diruri
