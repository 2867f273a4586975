// Reading a skill's recording, choosing which logged events to post again, and posting them paced
// and into their windows.
#include "core/replay/semantic_replayer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <thread>

#include "core/platform/path.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/event_log.hpp"
#include "core/store/workspace_layout.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// No pause of the recording is replayed longer than this: a person who went for coffee.
constexpr milliseconds kLongestPause{5000};
// Keys a little apart even when recorded together, so applications see each on its own.
constexpr milliseconds kKeySpacing{5};
// A key held shorter than this did not repeat; replayed slower, it must not start repeating.
constexpr int64_t kRepeatsAfterMs = 500;
constexpr milliseconds kLongestUnrepeatedHold{250};
// How often a step looks again for its window or element.
constexpr milliseconds kWindowPoll{25};
// How long a click looks for an element that is not there before it goes by the window instead; an
// element that is there waits the whole step's wait to be shown and enabled.
constexpr milliseconds kElementSearch{1000};

struct Point {
  double x;
  double y;
};

// One replayable line of the log, read once.
struct Planned {
  std::string id;
  std::string type;
  std::optional<int64_t> monotonicMs;
  std::optional<Point> point;
  std::optional<int64_t> keyCode;
  std::optional<int64_t> keysym;
  std::optional<int64_t> scrollY;
  std::optional<ForegroundAppSnapshot> app;
  std::optional<WindowGeometry> window;
  std::optional<ElementTarget> target;  // clicks: the element clicked, where it was
  bool redacted = false;                // a key typed into a password field, not kept

  bool isKey() const { return type == "key_down" || type == "key_up"; }
  // Presses and wheel steps go to the window in front; releases follow their press.
  bool needsWindow() const { return type == "mouse_down" || type == "key_down" || type == "scroll"; }
};

// A line that cannot be posted as it was recorded: the replay fails before anything is posted,
// rather than leave it out and post its neighbours (a key's release without its press, keys with
// no window to go to).
[[noreturn]] void unusable(const JsonObject& line, size_t lineNumber, const std::string& why) {
  const std::string* id = findStringMember(line, "id");
  throw SemanticReplayerError(SemanticReplayerError::Code::unusableEvent,
                              "Nothing was replayed: line " + std::to_string(lineNumber) +
                                  " of the recording" +
                                  (id ? " (" + quotedData(*id, 80) + ")" : std::string()) +
                                  " cannot be replayed as it was recorded: " + why +
                                  ". Correct or remove that line of references/events.jsonl.");
}

// A member that must be a whole number within [low, high] when it is there.
std::optional<int64_t> integral(const JsonObject& line, size_t lineNumber, const JsonObject& object,
                                std::string_view key, int64_t low, int64_t high) {
  const JsonValue* v = findMember(object, key);
  if (!v) return std::nullopt;
  const std::optional<int64_t> i = v->isNumber() ? v->asIntegral() : std::nullopt;
  if (!i || *i < low || *i > high) {
    unusable(line, lineNumber,
             "its " + std::string(key) + " is " + quotedData(writeJson(*v), 40) +
                 ", not a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  return i;
}

// The line as a step, or none for a line that is no input event (a marker, or a type this replay
// does not know). Throws SemanticReplayerError for an input event it cannot post as recorded.
std::optional<Planned> plan(const JsonObject& line, size_t lineNumber) {
  const JsonValue* typeValue = findMember(line, "type");
  if (!typeValue) return std::nullopt;
  if (!typeValue->isString()) unusable(line, lineNumber, "its type is not a string");
  Planned p;
  p.type = typeValue->asString();
  const bool mouse = p.type == "mouse_down" || p.type == "mouse_up";
  if (!mouse && !p.isKey() && p.type != "scroll") return std::nullopt;
  const JsonObject* payload = findObjectMember(line, "payload");
  if (!payload) unusable(line, lineNumber, "its payload is not an object");
  if (mouse) {
    const JsonValue* x = findMember(*payload, "x");
    const JsonValue* y = findMember(*payload, "y");
    if (!x || !y || !x->isNumber() || !y->isNumber() || !std::isfinite(x->asDouble()) ||
        !std::isfinite(y->asDouble())) {
      unusable(line, lineNumber, "it has no point (x and y numbers)");
    }
    p.point = Point{x->asDouble(), y->asDouble()};
  } else if (p.isKey()) {
    const JsonValue* redacted = findMember(*payload, "redacted");
    if (redacted && !redacted->isBool()) unusable(line, lineNumber, "its redacted is not true or false");
    p.redacted = redacted && redacted->asBool();
    if (!p.redacted) {
      p.keyCode = integral(line, lineNumber, *payload, "keyCode", 0, 0xffff);
      // Keysyms are 29-bit: anything above names no key and must not borrow one.
      p.keysym = integral(line, lineNumber, *payload, "keysym", 0, 0x1fffffff);
      if (!p.keyCode && !p.keysym) unusable(line, lineNumber, "it names no key (keyCode or keysym)");
      // A key recorded with only its keysym has no code of its own; its press and release are
      // paired by the keysym.
      if (!p.keyCode) p.keyCode = -*p.keysym;
    }
  } else {
    p.scrollY = integral(line, lineNumber, *payload, "scrollY", std::numeric_limits<int32_t>::min(),
                         std::numeric_limits<int32_t>::max());
    if (!p.scrollY) unusable(line, lineNumber, "it has no scrollY");
  }
  const std::string* id = findStringMember(line, "id");
  p.id = id ? *id : "";
  const JsonValue* monotonic = findMember(line, "monotonicMs");
  if (monotonic && !(monotonic->isNumber() && monotonic->asIntegral()))
    unusable(line, lineNumber, "its monotonicMs is not a whole number");
  if (monotonic) p.monotonicMs = monotonic->asIntegral();
  // What the step waits for and follows; a line without them (older or hand-written logs) is
  // posted where and as it was recorded, but one that has them unreadable would go elsewhere.
  try {
    if (const JsonValue* app = findMember(*payload, "app")) p.app = ForegroundAppSnapshot::fromJson(*app);
  } catch (const JsonParseError&) {
    unusable(line, lineNumber, "its app cannot be read, so the window it goes to is not known");
  }
  try {
    if (const JsonValue* window = findMember(*payload, "window"))
      p.window = WindowGeometry::fromJson(*window);
  } catch (const JsonParseError&) {
    unusable(line, lineNumber, "its window cannot be read");
  }
  if (p.type == "mouse_down") {
    if (const JsonValue* target = findMember(*payload, "target")) {
      try {
        p.target = ElementTarget::fromJson(*target);
      } catch (const JsonParseError&) {
        unusable(line, lineNumber, "its target cannot be read");
      }
    }
  }
  if (p.target && !p.target->bounds) p.target.reset();  // nothing to place the click in
  return p;
}

bool isRecordedWindow(const ForegroundAppSnapshot& recorded, const std::optional<FrontWindow>& front) {
  return front && isSameWindow(recorded, front->app);
}

// The same place inside the element's current extent as inside its recorded one, in proportion.
Point insideElement(Point recorded, const WindowGeometry& was, const WindowGeometry& now) {
  const auto place = [](double at, int32_t wasStart, int32_t wasLength, int32_t nowStart, int32_t nowLength) {
    const double share = wasLength > 0 ? (at - wasStart) / wasLength : 0.5;
    const double placed = nowStart + std::clamp(share, 0.0, 1.0) * nowLength;
    return std::clamp(placed, static_cast<double>(nowStart),
                      static_cast<double>(nowStart + std::max(nowLength - 1, 0)));
  };
  return {place(recorded.x, was.x, was.width, now.x, now.width),
          place(recorded.y, was.y, was.height, now.y, now.height)};
}

std::string describe(const ForegroundAppSnapshot& app) {
  std::string text = app.appName;
  if (app.windowTitle) text += " window \"" + *app.windowTitle + "\"";
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

}  // namespace

void ReplayControl::requestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  woken_.notify_all();
}

bool ReplayControl::sleepUntil(SteadyClock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  woken_.wait_until(lock, deadline, [this] { return stop_.load(); });
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

SemanticReplayResult SemanticReplayer::replay(const std::string& workspacePath, const std::string& skillId,
                                              const ReplayOptions& options, ReplayControl* control) {
  const std::string workspace = layout::absoluteWorkspace(fileManager_, workspacePath);
  const std::string skill = findSkill(fileManager_, workspace, localSkillStore_, skillId);
  // A generated skill carries its events and stands alone; a hand-written one names its session.
  std::string logPath = joinPath(skill, layout::kSkillEventsFile);
  if (!fileManager_.fileExists(logPath)) {
    const JsonValue reference = parseJson(fileManager_.readFile(layout::skillRecordingReference(skill)));
    const std::string* sessionId = reference.findString("sessionId");
    // A session name that is not a plain file name would make the log path leave the sessions folder.
    if (!reference.isObject() || !sessionId || !isPlainPathComponent(*sessionId)) {
      throw SemanticReplayerError(SemanticReplayerError::Code::invalidRecording);
    }
    logPath = joinPath(layout::sessionDirectory(workspace, *sessionId), layout::kEventsFile);
  }
  std::vector<Planned> events;
  // A long recording takes seconds to read: a stop meanwhile ends the replay before it posts.
  struct StoppedWhileReading {};
  try {
    readEventLogLines(fileManager_, logPath, LogReading::Strict, [&](JsonObject& line, size_t lineNumber) {
      if (control && lineNumber % 1024 == 0 && control->stopRequested()) throw StoppedWhileReading{};
      if (std::optional<Planned> p = plan(line, lineNumber)) events.push_back(std::move(*p));
    });
  } catch (const StoppedWhileReading&) {
    SemanticReplayResult stopped;
    stopped.status = control->settle("stopped");
    return stopped;
  }

  // Reporting steps that were never posted would be a failure dressed as success.
  if (!poster_.begin()) {
    poster_.end();
    throw SemanticReplayerError(SemanticReplayerError::Code::posterUnavailable);
  }
  SemanticReplayResult result;
  result.steps.reserve(events.size());
  for (const Planned& p : events)
    result.steps.push_back({{"eventId", p.id}, {"type", p.type}, {"status", "skipped"}});
  const size_t total = events.size();
  if (control) control->report(0, total);

  const auto sleepUntil = [control](SteadyClock::time_point deadline) {
    if (control) return control->sleepUntil(deadline);
    std::this_thread::sleep_until(deadline);
    return true;
  };
  const auto stopped = [control] { return control && control->stopRequested(); };

  SteadyClock::time_point due = SteadyClock::now();
  std::optional<int64_t> previousMs;
  // Per key pressed and not yet released: when it was pressed in the recording and here.
  std::map<int64_t, std::pair<std::optional<int64_t>, SteadyClock::time_point>> held;
  // The window the last press went to, as recorded and as found, for its release; or, when it went
  // to an element, how far from the recorded point it landed.
  std::optional<std::pair<WindowGeometry, WindowGeometry>> pressWindow;
  std::optional<Point> pressShift;
  bool pressedByAction = false;  // the last press was the element's action: its release is in it
  std::optional<std::string> failure;
  // Where no window can be known, a press goes where it was recorded without waiting for its window.
  const bool windowsKnown = inspector_.knowsFrontWindow();
  bool wasStopped = false;
  size_t i = 0;
  for (; i < events.size(); ++i) {
    const Planned& p = events[i];
    if (stopped()) {
      wasStopped = true;
      break;
    }
    // A key typed into a password field was not recorded; the agent types it. The time it took
    // stays in the pause before the next event.
    if (p.redacted) {
      result.steps[i]["reason"] = "redacted";
      if (control) control->report(i + 1, total);
      continue;
    }
    // The recorded pause before this event, at the speed asked for.
    if (options.speed > 0) {
      milliseconds pause{0};
      if (p.monotonicMs && previousMs && *p.monotonicMs > *previousMs) {
        pause = std::min(milliseconds(static_cast<int64_t>(static_cast<double>(*p.monotonicMs - *previousMs) /
                                                           options.speed)),
                         kLongestPause);
      }
      if (p.isKey()) pause = std::max(pause, kKeySpacing);
      due += pause;
      if (p.type == "key_up") {
        if (const auto it = held.find(*p.keyCode); it != held.end()) {
          const auto& [pressedMs, pressedAt] = it->second;
          const bool repeated = pressedMs && p.monotonicMs && *p.monotonicMs - *pressedMs >= kRepeatsAfterMs;
          if (!repeated) due = std::min(due, pressedAt + kLongestUnrepeatedHold);
        }
      }
      const auto now = SteadyClock::now();
      if (due > now) {
        poster_.sync();
        if (!sleepUntil(due)) {
          wasStopped = true;
          break;
        }
      } else {
        due = now;  // behind: later pauses keep their recorded length rather than being skipped
      }
    }
    if (p.monotonicMs) previousMs = p.monotonicMs;

    // Wait for the window the person acted in, as the person did.
    std::optional<FrontWindow> front;
    if (p.app && p.needsWindow() && windowsKnown) {
      poster_.sync();  // what was posted before has reached the applications
      const auto deadline = SteadyClock::now() + options.targetWait;
      front = inspector_.frontWindow();
      bool waited = false;
      while (!isRecordedWindow(*p.app, front) && SteadyClock::now() < deadline) {
        waited = true;
        if (!sleepUntil(std::min(deadline, SteadyClock::now() + kWindowPoll))) break;
        front = inspector_.frontWindow();
      }
      if (stopped()) {
        wasStopped = true;
        break;
      }
      if (!isRecordedWindow(*p.app, front)) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(options.targetWait.count()) / 1000);
        failure = "The " + describe(*p.app) + " did not come to the front within " + seconds + " s.";
        break;
      }
      if (waited) due = SteadyClock::now();
    }

    PostResult posted = PostResult::Posted;
    if (p.point) {
      Point at = *p.point;
      const bool down = p.type == "mouse_down";
      if (down) {
        pressWindow.reset();
        pressShift.reset();
        pressedByAction = false;
        result.steps[i]["via"] = "window";
      }
      if (down && p.target && front) {
        // The element clicked, found again, shown and enabled.
        const auto started = SteadyClock::now();
        const auto deadline = started + options.targetWait;
        AccessibilityInspecting::ElementSearch search =
            inspector_.findElement(front->app.processId, *p.target);
        const auto ready = [&search] {
          return search.found && search.found->showing && search.found->enabled;
        };
        while (search.available && !ready() && SteadyClock::now() < deadline &&
               (search.found || SteadyClock::now() < started + kElementSearch)) {
          if (!sleepUntil(std::min(deadline, SteadyClock::now() + kWindowPoll))) break;
          search = inspector_.findElement(front->app.processId, *p.target);
        }
        if (stopped()) {
          wasStopped = true;
          break;
        }
        if (search.found && !ready()) {
          char seconds[32];
          std::snprintf(seconds, sizeof seconds, "%g",
                        static_cast<double>(options.targetWait.count()) / 1000);
          failure = "The " + p.target->describe() + " was not shown and enabled within " + seconds + " s.";
          break;
        }
        if (search.found) {
          at = insideElement(*p.point, *p.target->bounds, *search.found->element.bounds);
          pressShift = Point{at.x - p.point->x, at.y - p.point->y};
          result.steps[i]["via"] = "element";
          due = std::max(due, SteadyClock::now());
        }
      }
      if (down && !pressShift && p.window && front && front->geometry) {
        // A point beside its window has no place in the window as it is now: following the window
        // would put the click on whatever lies beside it here.
        const WindowGeometry& w = *p.window;
        if (p.point->x < w.x || p.point->y < w.y || p.point->x >= w.x + w.width ||
            p.point->y >= w.y + w.height) {
          char text[200];
          std::snprintf(text, sizeof text,
                        "The click at (%g, %g) lies outside its window as recorded (%d, %d, %d x %d), so it "
                        "cannot be placed in that window now.",
                        p.point->x, p.point->y, w.x, w.y, w.width, w.height);
          failure = text;
          break;
        }
        pressWindow.emplace(*p.window, *front->geometry);
      }
      if (!down && pressShift) {
        at = Point{at.x + pressShift->x, at.y + pressShift->y};
      } else if (pressWindow) {
        const auto& [recorded, current] = *pressWindow;
        at.x = followWindow(at.x, recorded.x, recorded.width, current.x, current.width);
        at.y = followWindow(at.y, recorded.y, recorded.height, current.y, current.height);
      }
      if (!down && pressedByAction) {
        posted = PostResult::Posted;
      } else {
        posted = poster_.postMouse(at.x, at.y, down);
      }
      // An element found where the pointer cannot go (off the screen) is pressed by its action.
      if (down && posted == PostResult::Inexpressible && pressShift &&
          inspector_.activateElement(front->app.processId, *p.target)) {
        posted = PostResult::Posted;
        pressedByAction = true;
        result.steps[i]["via"] = "action";
      }
    } else if (p.isKey()) {
      const bool down = p.type == "key_down";
      posted = poster_.postKey(*p.keyCode, p.keysym, down);
      if (down) {
        held[*p.keyCode] = {p.monotonicMs, SteadyClock::now()};
      } else {
        held.erase(*p.keyCode);
      }
    } else {
      posted = poster_.postScroll(*p.scrollY);
    }
    if (posted != PostResult::Posted) {
      failure = postFailure(p, posted);
      break;
    }
    result.steps[i]["status"] = "replayed";
    if (control) control->report(i + 1, total);
  }
  poster_.end();
  // Settled before the steps are filled in, which takes a while for a long recording: a stop
  // waiting for this answers at once.
  result.status = wasStopped ? "stopped" : failure ? "failed" : "success";
  if (control) result.status = control->settle(result.status);

  if (failure) {
    result.steps[i]["status"] = "failed";
    result.steps[i]["reason"] = *failure;
    ++i;
  }
  const std::string rest = result.status == "stopped" ? "The replay was stopped." : "An earlier step failed.";
  for (; i < events.size(); ++i) result.steps[i]["reason"] = rest;
  return result;
}

double followWindow(double point, int32_t recordedStart, int32_t recordedLength, int32_t currentStart,
                    int32_t currentLength) {
  const double offset = point - recordedStart;
  if (recordedLength == currentLength || offset <= recordedLength / 2.0) return currentStart + offset;
  return currentStart + currentLength - (recordedLength - offset);
}

}  // namespace diruri
