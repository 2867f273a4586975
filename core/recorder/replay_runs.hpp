// Replay runs: each in a folder of its own under the workspace, with screenshots before and after the
// replay and run.json.
#pragma once

#include <string>

#include "core/capture/screen_capturing.hpp"
#include "core/recorder/recorder_results.hpp"
#include "core/replay/semantic_replayer.hpp"
#include "core/store/event_store.hpp"

namespace diruri {

// plan() runs on the server's main thread; run() may run on a thread of its own meanwhile, one run
// at a time. The parts given must outlive it.
class ReplayRuns {
 public:
  ReplayRuns(EventStore& store, ScreenCapturing& screenCapture, SemanticReplayer& replayer)
      : store_(store), screenCapture_(screenCapture), replayer_(replayer) {}

  // A replay run, named and placed but not begun: its folder is made (never one that exists),
  // nothing else is touched. Throws what making the folder throws.
  ReplayRun plan(const std::string& workspacePath, const std::string& skillId);
  // Runs it: the run directory with its screenshots, the replay, run.json. Throws what creating
  // the run directory, loading the recording or writing run.json throws.
  RecorderReplayResult run(const ReplayRun& run, const ReplayOptions& options = {},
                           ReplayControl* control = nullptr);
  // Both at once.
  RecorderReplayResult replay(const std::string& workspacePath, const std::string& skillId,
                              const ReplayOptions& options = {}, ReplayControl* control = nullptr);

 private:
  EventStore& store_;
  ScreenCapturing& screenCapture_;
  SemanticReplayer& replayer_;
};

// "run_" + skill id with "-" as "_" + "_" + the first 14 digits of the start time; a run whose
// folder exists already gets this with "-2", "-3"… (ReplayRuns::plan).
std::string makeRunId(const std::string& skillId, const std::string& startedAt);

}  // namespace diruri
