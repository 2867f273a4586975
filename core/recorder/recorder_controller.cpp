// Recording life cycle, start and stop markers, and the per-event handler.
#include "core/recorder/recorder_controller.hpp"

#include <cstdio>

#include "core/platform/path.hpp"
#include "core/store/workspace_layout.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

std::string eventIdentifier(int64_t number) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "evt_%06lld", static_cast<long long>(number));
  return buf;
}

RecorderController::RecorderController(EventStore& eventStore, InputEventRecording& eventTap,
                                       ScreenCapturing& screenCapture, AccessibilityInspecting& inspector)
    : eventStore_(eventStore),
      screenCapture_(screenCapture),
      eventTap_(eventTap),
      inspector_(inspector),
      writer_(
          inspector, inspector, inspector, [this] { return eventTap_.pointerSighting(); },
          [this](RecordingEvent& event, const RecordingSession& session,
                 const std::optional<ElementTarget>& secretField) {
            appendInput(event, session, secretField);
          },
          [this](Observation seen, const RecordingSession& session) {
            std::lock_guard lock(mutex_);
            appendObservationLocked(std::move(seen), session);
          }) {}

RecorderController::~RecorderController() {
  eventTap_.stop();
  writer_.stop();
  inspector_.watchFocus(false);
}

bool RecorderController::captureActive() {
  std::lock_guard lock(mutex_);
  if (inputCaptureActive_ && !eventTap_.isRunning()) inputCaptureActive_ = false;
  return inputCaptureActive_;
}

RecorderStartResult RecorderController::start(const std::string& workspacePath,
                                              const std::optional<std::string>& sessionName) {
  std::optional<RecordingSession> active;
  {
    std::lock_guard lock(mutex_);
    active = activeSession_;
  }
  if (active) {
    RecorderStartResult result;
    result.sessionId = active->sessionId;
    result.sessionPath = active->sessionPath;
    result.inputCaptureActive = captureActive();
    result.accessibilityTrusted = eventTap_.canObserveInput();
    result.screenCaptureAllowed = screenCapture_.canCaptureScreen();
    result.startScreenshotOk = false;
    result.error = "active_recording_exists";
    return result;
  }

  RecordingSession session = eventStore_.createSession(workspacePath, sessionName);
  {
    std::lock_guard lock(mutex_);
    activeSession_ = session;
    eventCounter_ = 0;
    lastInputId_.clear();
    lastPressApp_.reset();
    accessible_.clear();
    // The capture thread's, but it is not running yet.
    typingOpen_ = false;
    typingRun_.reset();
    deviceBase_.reset();
    dragging_ = false;
  }
  const ScreenCaptureResult shot = appendScreenshot(session, "start");
  appendAxSnapshot(session, "start");
  inspector_.watchFocus(true);
  if (inspector_.findsElements()) writer_.start();
  redaction_.emplace(inspector_, writer_.running());
  const bool started = eventTap_.start([this](const CapturedInputEvent& e) { handleInputEvent(e); });

  RecorderStartResult result;
  result.sessionId = session.sessionId;
  result.sessionPath = session.sessionPath;
  result.accessibilityTrusted = eventTap_.canObserveInput();
  result.screenCaptureAllowed = screenCapture_.canCaptureScreen();
  result.inputCaptureActive = started;
  result.startScreenshotOk = shot.ok;
  // The answer stays "recording" whatever is missing, so the agent is told what will not be there.
  if (!started) result.warnings.push_back(eventTap_.unavailableReason());
  if (!result.screenCaptureAllowed) {
    result.warnings.push_back(
        "Screenshots are not taken: no screen this server can capture is reachable, or the screenshot helper "
        "is not installed beside the server.");
  }
  if (std::optional<std::string> why = inspector_.unavailableReason()) result.warnings.push_back(*why);
  {
    std::lock_guard lock(mutex_);
    inputCaptureActive_ = started;
    captureStarted_ = started;
    warnings_ = result.warnings;
  }
  return result;
}

RecorderStatusResult RecorderController::status() {
  RecorderStatusResult result;
  std::optional<RecordingSession> active;
  {
    std::lock_guard lock(mutex_);
    active = activeSession_;
  }
  if (active) {
    result.status = "recording";
    result.sessionId = active->sessionId;
    result.sessionPath = active->sessionPath;
    result.inputCaptureActive = captureActive();
    result.warnings = currentWarnings();
  } else {
    result.status = "idle";
    result.inputCaptureActive = false;
  }
  result.accessibilityTrusted = eventTap_.canObserveInput();
  result.screenCaptureAllowed = screenCapture_.canCaptureScreen();
  return result;
}

std::vector<std::string> RecorderController::currentWarnings() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> warnings = warnings_;
  if (captureStarted_ && !inputCaptureActive_) {
    warnings.push_back(
        "Input capture has ended: its display or accessibility bus went away, and nothing since is recorded. "
        "Stop the recording; what came before is kept.");
  }
  return warnings;
}

RecorderPermissionResult RecorderController::permissions() {
  RecorderPermissionResult result;
  result.accessibilityTrusted = eventTap_.canObserveInput();
  result.screenCaptureAllowed = screenCapture_.canCaptureScreen();
  result.inputCaptureActive = captureActive();
  return result;
}

RecorderStopResult RecorderController::stop(const std::optional<std::string>& workspacePath,
                                            const std::optional<std::string>& sessionId) {
  std::optional<RecordingSession> chosen;
  {
    std::lock_guard lock(mutex_);
    chosen = activeSession_;
  }
  if (!chosen) chosen = loadPersistedSession(workspacePath, sessionId);
  if (!chosen) {
    RecorderStopResult idle;
    idle.status = "idle";
    return idle;
  }

  // Once stop() returns the source delivers nothing more, so the stop markers are the last
  // controller lines of the log.
  eventTap_.stop();
  writer_.stop();
  inspector_.watchFocus(false);
  {
    std::lock_guard lock(mutex_);
    inputCaptureActive_ = false;
  }
  appendScreenshot(*chosen, "stop");
  const std::optional<AccessibilitySnapshot> front = appendAxSnapshot(*chosen, "stop");
  {
    // The window the task ended in, when the person's input ended there too (not the agent's
    // terminal the person turned to to stop the recording), and the accessibility bus knows it.
    std::lock_guard lock(mutex_);
    if (front && front->focusedWindowRole && lastPressApp_ && isSameWindow(*lastPressApp_, front->app)) {
      Observation seen;
      seen.kind = Observation::Kind::kFront;
      seen.window = front->app;
      appendObservationLocked(std::move(seen), *chosen);
    }
  }
  auto [stopped, summaryPath] = eventStore_.stopSession(*chosen);
  {
    std::lock_guard lock(mutex_);
    activeSession_.reset();
  }
  RecorderStopResult result;
  result.status = "stopped";
  result.sessionId = stopped.sessionId;
  result.summaryPath = summaryPath;
  return result;
}

std::optional<RecordingSession> RecorderController::loadPersistedSession(
    const std::optional<std::string>& workspacePath, const std::optional<std::string>& sessionId) {
  if (!workspacePath || !sessionId) return std::nullopt;
  if (isBlank(*workspacePath) || isBlank(*sessionId)) return std::nullopt;
  // An identifier that is not a plain name would point the stop's writes outside the sessions folder.
  if (!isPlainPathComponent(*sessionId)) return std::nullopt;
  try {
    return eventStore_.loadSession(*workspacePath, *sessionId);
  } catch (const std::exception&) {
    return std::nullopt;  // an unknown or unreadable session is simply nothing to stop
  }
}

int64_t RecorderController::nextEventNumber() {
  std::lock_guard lock(mutex_);
  return ++eventCounter_;
}

RecordingEvent RecorderController::makeEvent(int64_t number, EventType type, const RecordingSession& session,
                                             int64_t ageMs) {
  RecordingEvent event = RecordingEvent::of(type);
  event.id = eventIdentifier(number);
  event.ts = formatIso8601(eventStore_.clock().wallMillis() - ageMs);
  event.monotonicMs = eventStore_.clock().uptimeMillis() - ageMs;
  event.payload.sessionId = session.sessionId;
  return event;
}

void RecorderController::appendLocked(const RecordingEvent& event, const RecordingSession& session) {
  try {
    eventStore_.appendEvent(event, session);
  } catch (const std::exception&) {
    // A lost capture line never fails the recording; later events are still attempted.
  }
}

void RecorderController::appendQuietly(const RecordingEvent& event, const RecordingSession& session) {
  std::lock_guard lock(mutex_);
  appendLocked(event, session);
}

void RecorderController::appendInput(RecordingEvent& event, const RecordingSession& session,
                                     const std::optional<ElementTarget>& secretField) {
  std::lock_guard lock(mutex_);
  redaction_->apply(event, secretField);
  // Input that goes to another window than the last press did: the one before it made that window
  // come (or the one before go).
  const bool press =
      isPressEvent(event.kind) || (event.kind == EventType::kMouseMove && event.payload.buttons.empty());
  if (event.payload.target && event.payload.app) accessible_.insert(event.payload.app->processId);
  if (press && event.payload.app) {
    // Only what the accessibility bus can tell: a window of an application it knows.
    if (lastPressApp_ && !isSameWindow(*lastPressApp_, *event.payload.app) && !lastInputId_.empty() &&
        accessible_.count(event.payload.app->processId) > 0) {
      Observation seen;
      seen.kind = Observation::Kind::kWindow;
      seen.window = *event.payload.app;
      appendObservationLocked(std::move(seen), session);
    }
    lastPressApp_ = event.payload.app;
  }
  appendLocked(event, session);
  lastInputId_ = event.id;
  observedAfterLast_ = 0;
}

void RecorderController::appendObservationLocked(Observation seen, const RecordingSession& session) {
  if (lastInputId_.empty()) return;  // nothing it could follow
  RecordingEvent event = RecordingEvent::of(EventType::kObservation);
  // Named after the event it follows, so that no number of the capture's is taken.
  event.id = lastInputId_ + "-observed" +
             (observedAfterLast_ > 0 ? "-" + std::to_string(observedAfterLast_ + 1) : "");
  ++observedAfterLast_;
  event.ts = formatIso8601(eventStore_.clock().wallMillis());
  event.monotonicMs = eventStore_.clock().uptimeMillis();
  event.payload.sessionId = session.sessionId;
  event.payload.observation = std::move(seen);
  appendLocked(event, session);
}

ScreenCaptureResult RecorderController::appendScreenshot(const RecordingSession& session,
                                                         const std::string& name) {
  const int64_t n = nextEventNumber();
  const std::string target = joinPath(joinPath(session.sessionPath, layout::kScreenshotsFolder),
                                      name + "-" + std::to_string(n) + ".png");
  const ScreenCaptureResult shot = screenCapture_.capturePNG(target);
  RecordingEvent event = makeEvent(n, EventType::kScreenshotCaptured, session);
  event.payload.screenshotPath = shot.path;
  event.payload.screenshotOk = shot.ok;
  appendQuietly(event, session);
  return shot;
}

std::optional<AccessibilitySnapshot> RecorderController::appendAxSnapshot(const RecordingSession& session,
                                                                          const std::string& name) {
  const std::optional<AccessibilitySnapshot> snapshot = inspector_.accessibilitySnapshot();
  if (!snapshot) return std::nullopt;
  const int64_t n = nextEventNumber();
  const std::string target = joinPath(joinPath(session.sessionPath, layout::kSnapshotsFolder),
                                      name + "-" + std::to_string(n) + ".json");
  try {
    eventStore_.writeSnapshot(*snapshot, target);
  } catch (const std::exception&) {
    return snapshot;  // the number stays used; the log shows the gap
  }
  RecordingEvent event = makeEvent(n, EventType::kAxSnapshot, session);
  event.payload.axSnapshotPath = target;
  appendQuietly(event, session);
  return snapshot;
}

void RecorderController::handleInputEvent(const CapturedInputEvent& captured) {
  std::optional<RecordingSession> session;
  int64_t n;
  {
    std::lock_guard lock(mutex_);
    if (!activeSession_) return;
    session = activeSession_;
    n = ++eventCounter_;
  }
  const auto capturedAt = std::chrono::steady_clock::now();
  RecordingEvent event = makeEvent(n, captured.type, *session, captured.ageMs);
  if (captured.x && captured.y) {
    // A click is replayed inside its window, wherever that is then: keep where the window was.
    if (std::optional<FrontWindow> front = inspector_.frontWindow()) {
      event.payload.app = std::move(front->app);
      event.payload.window = front->geometry;
    }
  } else {
    event.payload.app = inspector_.foregroundSnapshot();
  }
  static_cast<InputFields&>(event.payload) = captured;
  if (!captured.inferred) event.payload.target.reset();  // a click's element is looked up below
  // Whether a key went into a password field is decided as it is written, in order.
  std::optional<KeyRedaction::Judgement> judgement =
      redaction_->judge(captured, capturedAt, happenedAt(captured, capturedAt));
  // The element of a press, of a hover, and of where a drag ended; a drag's moves have none.
  const bool hover = captured.type == EventType::kMouseMove && captured.buttons.empty();
  if (captured.type == EventType::kMouseMove && !hover) dragging_ = true;
  const bool dragEnd = captured.type == EventType::kMouseUp && dragging_;
  if (captured.type == EventType::kMouseDown || captured.type == EventType::kMouseUp) dragging_ = false;
  const bool lookUp = (captured.type == EventType::kMouseDown || hover || dragEnd) && !captured.inferred &&
                      captured.x && captured.y && event.payload.app;
  const uint64_t inputsBefore = writer_.inputsSubmitted();
  OrderedEventWriter::Pending item{std::move(event),     std::move(*session),   lookUp,      capturedAt,
                                   std::move(judgement), captured.pointerMoves, inputsBefore};
  noteTyping(captured, item);
  writer_.submit(std::move(item));
}

// The device's time against the quickest delivery seen: an input delivered late (its source, or
// this thread, busy) happened that much before it came here.
std::optional<std::chrono::steady_clock::time_point> RecorderController::happenedAt(
    const CapturedInputEvent& captured, std::chrono::steady_clock::time_point capturedAt) {
  if (captured.deviceMs == 0 || captured.inferred) return std::nullopt;
  constexpr uint32_t kLongestDelayMs = 2000;  // longer: the device's clock was set anew
  const auto steadyMs = static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(capturedAt.time_since_epoch()).count());
  const uint32_t base = steadyMs - captured.deviceMs;  // both wrap alike
  if (!deviceBase_ || static_cast<int32_t>(base - *deviceBase_) < 0 || base - *deviceBase_ > kLongestDelayMs)
    deviceBase_ = base;
  // Both clocks count whole milliseconds: the input may have happened a little earlier still.
  constexpr uint32_t kGrainMs = 2;
  return capturedAt - std::chrono::milliseconds(base - *deviceBase_ + kGrainMs);
}

// A run of typing: keys that type (Backspace and Delete too), modifiers passed over; it ends with
// any other key, a press, a scroll or a hover.
void RecorderController::noteTyping(const CapturedInputEvent& captured, OrderedEventWriter::Pending& item) {
  item.releasesClick = captured.type == EventType::kMouseUp && !captured.inferred;
  const auto keysym = captured.keysym.value_or(0);
  const bool modifier = (keysym >= 0xffe1 && keysym <= 0xffee) || (keysym >= 0xfe01 && keysym <= 0xfe13);
  const bool types = captured.type == EventType::kKeyDown &&
                     ((captured.text && !captured.text->empty()) || keysym == 0xff08 || keysym == 0xffff);
  const bool ends = (captured.type == EventType::kKeyDown && !types && !modifier) ||
                    captured.type == EventType::kMouseDown || captured.type == EventType::kScroll ||
                    (captured.type == EventType::kMouseMove && captured.buttons.empty());
  // The focus a key went to, for the keys whose focus a replay gives back first.
  item.asksFocus = (types && !typingOpen_) || (captured.type == EventType::kKeyDown && !types && !modifier);
  if (types) {
    item.startsTyping = !typingOpen_;
    if (item.startsTyping) {
      typingRun_ = std::make_shared<OrderedEventWriter::TypingRunFocus>();
      item.run = typingRun_;
    }
    typingOpen_ = true;
  } else if (ends) {
    item.endsTyping = typingOpen_;
    if (typingOpen_ && captured.type == EventType::kKeyDown) item.run = typingRun_;
    typingRun_.reset();
    typingOpen_ = false;
  }
}

}  // namespace diruri
