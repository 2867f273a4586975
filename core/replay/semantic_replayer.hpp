// Replays a recorded session: finds it through a skill's reference file and posts its input events
// again, paced as recorded, each one into the window it was meant for.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/capture/accessibility_inspecting.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/file_system.hpp"
#include "core/replay/click_placement.hpp"
#include "core/replay/event_poster.hpp"
#include "core/replay/replay_plan.hpp"
#include "core/replay/replay_step.hpp"

namespace diruri {

struct ReplayOptions {
  // Playback speed relative to the recording: 1 keeps the recorded pauses, 2 halves them, 0 goes as
  // fast as the applications allow: without the recorded pauses, but each step still ready first.
  double speed = 1;
  // How long a step waits for the window it was recorded in to come to the front.
  std::chrono::milliseconds targetWait{10000};
  // How long a check waits for what the recording observed after a step.
  std::chrono::milliseconds checkWait{2000};
  // The step of the skill's steps.json to begin with; those before are skipped.
  std::optional<size_t> fromStep = std::nullopt;
  // Texts for the skill's parameters, by name: each is typed into its step's field instead of the
  // recorded keys. A secret one is never written anywhere.
  std::vector<std::pair<std::string, std::string>> arguments = {};
};

// What an agent needs to take over where a step failed: the step in words, the element it was
// recorded on and where, and the accessible elements of the front window nearest that point.
struct Handover {
  size_t stepIndex = 0;  // in the run's steps
  std::string eventId;
  std::optional<std::string> words;  // the skill's step that holds the event
  std::optional<ElementTarget> target;
  std::optional<Point> point;
  std::vector<ElementTarget> nearby;
  std::optional<std::string> screenshotPath;  // set by whoever takes it

  JsonValue toJson() const;
};

struct SemanticReplayResult {
  // One step per input event of the recording, in log order (see ReplayStep).
  std::vector<ReplayStep> steps;
  // "success" when every step but redacted ones was replayed, "stopped" when asked to stop, else
  // "failed".
  std::string status = "success";
  size_t checksPassed = 0;
  size_t checksFailed = 0;
  std::optional<Handover> handover;  // when a step failed

  // Every step replayed (none skipped, redacted ones included), at least one check, all passed.
  bool verified() const;
};

class SemanticReplayerError : public std::runtime_error {
 public:
  enum class Code {
    invalidRecording,   // the reference file does not name a session
    posterUnavailable,  // no event poster can be reached, so nothing could be replayed
    unusableEvent,      // a line of the recording cannot be posted as it was recorded
    invalidArgument,  // an argument does not fit the skill (fromStep beyond its steps, a parameter it lacks)
  };
  // The text says what was wrong in a sentence the agent can act on.
  explicit SemanticReplayerError(Code code)
      : std::runtime_error(
            code == Code::invalidRecording
                ? "The skill's references/recording.json does not name a recorded session."
                : "Nothing was replayed: no display this server can post input to (an X display "
                  "with the XTEST extension, or a Wayland compositor with virtual input or "
                  "a remote-desktop service) can be reached."),
        code_(code) {}
  SemanticReplayerError(Code code, const std::string& reason) : std::runtime_error(reason), code_(code) {}
  Code code() const { return code_; }

 private:
  Code code_;
};

// Lets another thread watch a replay and stop it. A stop takes effect between events: the event
// being posted is finished, a pause or a wait for a window ends at once.
class ReplayControl {
 public:
  void requestStop();
  bool stopRequested() const { return stop_; }
  // Asks the replay to stop and waits, at most `wait`, until it has ended its posting (its keys
  // released). How it ended: "stopped", or the status it reached on its own before the stop came;
  // "stopped" too when it has not ended within `wait` (it then ends so, without posting more).
  std::string stopAndWait(std::chrono::milliseconds wait);
  // Waits until `deadline` of the clock's steady time, or a stop; false when stopped.
  bool sleepUntil(Clock& clock, Clock::SteadyTime deadline);

  size_t stepsDone() const { return done_; }
  size_t stepsTotal() const { return total_; }
  // Called on the replaying thread as steps are done, when set before the replay starts.
  std::function<void(size_t done, size_t total)> onProgress;

  // For the replayer.
  void report(size_t done, size_t total);
  // The replay's status once its posting has ended: "stopped" when a stop came before, else
  // `status`. Whoever asks for a stop from then on is told this one.
  std::string settle(std::string status);

 private:
  std::optional<std::string> outcome_;  // guarded by mutex_
  std::mutex mutex_;
  std::condition_variable woken_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> done_{0};
  std::atomic<size_t> total_{0};
};

// Thread: one replay at a time, on any one thread; ReplayControl is how another thread watches it.
// Blocks for the replay's whole length (its pauses, its waits for windows and elements).
class SemanticReplayer {
 public:
  // `localSkillStore`: where installed skills are looked for after the workspace's own; none when empty.
  SemanticReplayer(FileSystem& fileSystem, EventPoster& poster, FrontWindowSource& windows,
                   ElementFinding& elements, std::string localSkillStore = {}, Clock& clock = systemClock())
      : fileSystem_(fileSystem),
        poster_(poster),
        windows_(windows),
        elements_(elements),
        localSkillStore_(std::move(localSkillStore)),
        clock_(clock) {}
  // Both from the one accessibility side.
  SemanticReplayer(FileSystem& fileSystem, EventPoster& poster, AccessibilityInspecting& inspector,
                   std::string localSkillStore = {}, Clock& clock = systemClock())
      : SemanticReplayer(fileSystem, poster, inspector, inspector, std::move(localSkillStore), clock) {}

  // Finds the skill (the workspace's .zeruva/skills/<skillId>/, else the local skill store's) and
  // reads its recording: its own references/events.jsonl, or else the events.jsonl of the session
  // its references/recording.json names. Then posts every input event, as `options` say. The
  // recording is read in pieces, twice (checked whole first), and never held whole.
  // Throws SkillNotFound, the read or parse error, or SemanticReplayerError, before anything is
  // posted; once posting has begun nothing is thrown, and a step that fails ends the replay (the
  // steps after it are skipped).
  SemanticReplayResult replay(const std::string& workspacePath, const std::string& skillId,
                              const ReplayOptions& options = {}, ReplayControl* control = nullptr);

 private:
  class Run;

  FileSystem& fileSystem_;
  EventPoster& poster_;
  FrontWindowSource& windows_;
  ElementFinding& elements_;
  std::string localSkillStore_;
  Clock& clock_;
};

}  // namespace diruri
