// Replay runs: a run directory with before and after screenshots around the replay, and run.json.
#include "core/recorder/replay_runs.hpp"

#include "core/platform/path.hpp"
#include "core/store/workspace_layout.hpp"

namespace diruri {

std::string makeRunId(const std::string& skillId, const std::string& startedAt) {
  std::string digits;
  for (char c : startedAt) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  digits.resize(std::min<size_t>(digits.size(), 14));
  std::string skill = skillId;
  for (char& c : skill) {
    if (c == '-') c = '_';
  }
  return "run_" + skill + "_" + digits;
}

ReplayRun ReplayRuns::plan(const std::string& workspacePath, const std::string& skillId) {
  FileSystem& fs = store_.fileSystem();
  ReplayRun run;
  run.workspacePath = workspacePath;
  run.skillId = skillId;
  run.startedAt = formatIso8601(store_.clock().wallMillis());
  // The run's folder is made here, exclusively, so that two runs never share one: ids have whole
  // seconds, and "a-b" and "a_b" make the same id. A later run of the same id gets "-2", "-3"…
  const std::string base = makeRunId(skillId, run.startedAt);
  const std::string runs =
      parentDirectory(layout::replayRunDirectory(layout::absoluteWorkspace(fs, workspacePath), base));
  fs.createDirectories(runs);
  for (int n = 1;; ++n) {
    run.runId = n == 1 ? base : base + "-" + std::to_string(n);
    try {
      fs.createNewDirectory(joinPath(runs, run.runId));
      return run;
    } catch (const FileSystemError& e) {
      if (e.code() != std::errc::file_exists || n == 100000) throw;
    }
  }
}

RecorderReplayResult ReplayRuns::run(const ReplayRun& planned, const ReplayOptions& options,
                                     ReplayControl* control) {
  FileSystem& fs = store_.fileSystem();
  Clock& clock = store_.clock();

  ReplayRunMetadata run;
  run.runId = planned.runId;
  run.skillId = planned.skillId;
  run.startedAt = planned.startedAt;
  const std::string runPath =
      layout::replayRunDirectory(layout::absoluteWorkspace(fs, planned.workspacePath), run.runId);
  const std::string screenshots = joinPath(runPath, layout::kScreenshotsFolder);
  fs.createDirectories(screenshots);

  const ScreenCaptureResult before = screenCapture_.capturePNG(joinPath(screenshots, "before.png"));
  SemanticReplayResult replayed = replayer_.replay(planned.workspacePath, planned.skillId, options, control);
  // The screen as the failed step left it, for the agent that takes over.
  if (replayed.handover) {
    const ScreenCaptureResult shot = screenCapture_.capturePNG(
        joinPath(screenshots, "step-" + std::to_string(replayed.handover->stepIndex) + ".png"));
    if (shot.ok) replayed.handover->screenshotPath = shot.path;
  }
  const ScreenCaptureResult after = screenCapture_.capturePNG(joinPath(screenshots, "after.png"));
  run.endedAt = formatIso8601(clock.wallMillis());
  run.status = replayed.status;
  run.checksPassed = replayed.checksPassed;
  run.checksFailed = replayed.checksFailed;
  run.verified = replayed.verified();
  if (replayed.handover) run.handover = replayed.handover->toJson();
  run.steps = std::move(replayed.steps);
  for (const ScreenCaptureResult* shot : {&before, &after}) {
    if (shot->ok) run.screenshots.push_back(shot->path);
  }
  run.write(fs, joinPath(runPath, layout::kRunFile));

  RecorderReplayResult result;
  result.runId = run.runId;
  result.runPath = runPath;
  result.status = run.status;
  result.checksPassed = run.checksPassed;
  result.checksFailed = run.checksFailed;
  result.verified = run.verified;
  result.handover = run.handover;
  result.steps = std::move(run.steps);
  return result;
}

RecorderReplayResult ReplayRuns::replay(const std::string& workspacePath, const std::string& skillId,
                                        const ReplayOptions& options, ReplayControl* control) {
  return run(plan(workspacePath, skillId), options, control);
}

}  // namespace diruri
