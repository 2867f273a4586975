// The one object that knows whether a recording runs: start, status, permissions, stop and replay.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/capture/accessibility_inspecting.hpp"
#include "core/capture/input_event_recording.hpp"
#include "core/capture/screen_capturing.hpp"
#include "core/recorder/key_redaction.hpp"
#include "core/recorder/ordered_event_writer.hpp"
#include "core/recorder/recorder_results.hpp"
#include "core/replay/semantic_replayer.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/event_store.hpp"

namespace diruri {

// All operations but a replay run on the server's main thread, one at a time; a replay may run on a
// thread of its own meanwhile (it touches no recording state). The input-event handler runs on
// the event source's thread; the state both touch (active session, event counter, log appends) is
// guarded by one mutex that is never held across a screenshot, a snapshot or a front-app query.
//
// Input events reach the log through an OrderedEventWriter: a click waits for its element, a key
// behind a focus move for the focus it went to (KeyRedaction), in capture order.
class RecorderController {
 public:
  // `localSkillStore`: where skills are installed and, after the workspace's own, looked for by a
  // replay; none when empty.
  RecorderController(EventStore& eventStore, InputEventRecording& eventTap, ScreenCapturing& screenCapture,
                     AccessibilityInspecting& inspector, EventPoster& poster,
                     std::string localSkillStore = {});
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
  // A replay run, named and placed but not begun: its folder is made (never one that exists),
  // nothing else is touched. Throws what making the folder throws.
  ReplayRun planReplay(const std::string& workspacePath, const std::string& skillId);
  // Runs it: the run directory with its screenshots, the replay, run.json. May run on another
  // thread than the other operations, while they go on. Throws what creating the run directory,
  // loading the recording or writing run.json throws.
  RecorderReplayResult runReplay(const ReplayRun& run, const ReplayOptions& options = {},
                                 ReplayControl* control = nullptr);
  // A skill made from a stopped session, and a skill installed; see SkillLibrary.
  SkillLibrary& skills() { return skills_; }

  // Both at once.
  RecorderReplayResult replay(const std::string& workspacePath, const std::string& skillId,
                              const ReplayOptions& options = {}, ReplayControl* control = nullptr);

 private:
  std::optional<RecordingSession> loadPersistedSession(const std::optional<std::string>& workspacePath,
                                                       const std::optional<std::string>& sessionId);
  ScreenCaptureResult appendScreenshot(const RecordingSession& session, const std::string& name);
  void appendAxSnapshot(const RecordingSession& session, const std::string& name);
  void handleInputEvent(const CapturedInputEvent& event);

  int64_t nextEventNumber();
  // Appends under the lock so lines from the two threads never interleave; failures are dropped.
  void appendQuietly(const RecordingEvent& event, const RecordingSession& session);
  // The same for an input event, redacted first when it is a key into a password field.
  void appendInput(RecordingEvent& event, const RecordingSession& session,
                   const std::optional<ElementTarget>& secretField);
  RecordingEvent makeEvent(int64_t number, EventType type, const RecordingSession& session);
  // The stored flag, and only while the event source still delivers.
  bool captureActive();
  // The running recording's warnings, and one for capture that has ended since.
  std::vector<std::string> currentWarnings();
  EventStore& eventStore_;
  ScreenCapturing& screenCapture_;
  SemanticReplayer replayer_;
  SkillLibrary skills_;
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
  // Made anew for each recording; apply() under mutex_.
  std::optional<KeyRedaction> redaction_;
};

// "evt_000042"; numbers of more than six digits are written in full.
std::string eventIdentifier(int64_t number);

// "run_" + skill id with "-" as "_" + "_" + the first 14 digits of the start time; a run whose
// folder exists already gets this with "-2", "-3"… (planReplay).
std::string makeRunId(const std::string& skillId, const std::string& startedAt);

}  // namespace diruri
