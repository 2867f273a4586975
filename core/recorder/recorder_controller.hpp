// The one object that knows whether a recording runs: start, status, permissions, stop and replay.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "core/capture/accessibility_inspecting.hpp"
#include "core/capture/input_event_recording.hpp"
#include "core/capture/screen_capturing.hpp"
#include "core/recorder/key_redaction.hpp"
#include "core/recorder/ordered_event_writer.hpp"
#include "core/recorder/recorder_results.hpp"
#include "core/store/event_store.hpp"

namespace diruri {

// The recording life cycle. Its operations run on the server's main thread, one at a time; replays
// (ReplayRuns) go on beside it and touch no recording state. The input-event handler runs on
// the event source's thread; the state both touch (active session, event counter, log appends) is
// guarded by one mutex that is never held across a screenshot, a snapshot or a front-app query.
//
// Input events reach the log through an OrderedEventWriter: a click waits for its element, a key
// behind a focus move for the focus it went to (KeyRedaction), in capture order.
class RecorderController {
 public:
  // The parts must outlive the controller.
  RecorderController(EventStore& eventStore, InputEventRecording& eventTap, ScreenCapturing& screenCapture,
                     AccessibilityInspecting& inspector);
  // Stops the event source, so no handler call can outlive the controller.
  ~RecorderController();
  RecorderController(const RecorderController&) = delete;
  RecorderController& operator=(const RecorderController&) = delete;

  // Throws what creating the session throws; state is then unchanged.
  RecorderStartResult start(const std::string& workspacePath, const std::optional<std::string>& sessionName);
  RecorderStatusResult status();
  RecorderPermissionResult permissions();
  // Throws what closing the session throws; an active session then stays active.
  RecorderStopResult stop(const std::optional<std::string>& workspacePath,
                          const std::optional<std::string>& sessionId);

 private:
  std::optional<RecordingSession> loadPersistedSession(const std::optional<std::string>& workspacePath,
                                                       const std::optional<std::string>& sessionId);
  ScreenCaptureResult appendScreenshot(const RecordingSession& session, const std::string& name);
  // The snapshot, when there was one.
  std::optional<AccessibilitySnapshot> appendAxSnapshot(const RecordingSession& session,
                                                        const std::string& name);
  void handleInputEvent(const CapturedInputEvent& event);
  // Capture thread: when the input happened, on the steady clock; none where its device gives no
  // time.
  std::optional<std::chrono::steady_clock::time_point> happenedAt(
      const CapturedInputEvent& captured, std::chrono::steady_clock::time_point capturedAt);
  // Capture thread: marks the keys that begin and end a run of typing, and releases.
  void noteTyping(const CapturedInputEvent& captured, OrderedEventWriter::Pending& item);
  // An observation line after the last input line; mutex_ held.
  void appendObservationLocked(Observation seen, const RecordingSession& session);

  int64_t nextEventNumber();
  // Appends under the lock so lines from the two threads never interleave; failures are dropped.
  void appendQuietly(const RecordingEvent& event, const RecordingSession& session);
  // The append itself, mutex_ held; failures are dropped.
  void appendLocked(const RecordingEvent& event, const RecordingSession& session);
  // The same for an input event, redacted first when it is a key into a password field.
  void appendInput(RecordingEvent& event, const RecordingSession& session,
                   const std::optional<ElementTarget>& secretField);
  // Made `ageMs` ago: a pointer's rest is told once it ends.
  RecordingEvent makeEvent(int64_t number, EventType type, const RecordingSession& session,
                           int64_t ageMs = 0);
  // The stored flag, and only while the event source still delivers.
  bool captureActive();
  // The running recording's warnings, and one for capture that has ended since.
  std::vector<std::string> currentWarnings();
  EventStore& eventStore_;
  ScreenCapturing& screenCapture_;
  InputEventRecording& eventTap_;
  AccessibilityInspecting& inspector_;

  std::mutex mutex_;  // guards the three fields below and every log append
  std::optional<RecordingSession> activeSession_;
  int64_t eventCounter_ = 0;
  bool inputCaptureActive_ = false;
  // What the running recording cannot capture, found when it started.
  std::vector<std::string> warnings_;
  bool captureStarted_ = false;

  OrderedEventWriter writer_;
  bool dragging_ = false;    // capture thread: a move with a button held came since the last press
  bool typingOpen_ = false;  // capture thread: a run of typing goes on
  std::shared_ptr<OrderedEventWriter::TypingRunFocus> typingRun_;  // capture thread: its focus
  // Capture thread: the least difference seen between the steady clock and a device's time, in
  // milliseconds that wrap as the device's do.
  std::optional<uint32_t> deviceBase_;
  // Under mutex_: the last input line written, how many observations followed it, and the window
  // of the last press.
  std::string lastInputId_;
  int observedAfterLast_ = 0;
  std::optional<ForegroundAppSnapshot> lastPressApp_;
  std::set<int32_t> accessible_;  // processes whose elements were found
  // Made anew for each recording; apply() under mutex_.
  std::optional<KeyRedaction> redaction_;
};

// "evt_000042"; numbers of more than six digits are written in full.
std::string eventIdentifier(int64_t number);

}  // namespace diruri
