// Replay runs: a run directory with before and after screenshots around the replay, and run.json.
#include "core/recorder/recorder_controller.hpp"

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

RecorderReplayResult RecorderController::replay(const std::string& workspacePath,
                                                const std::string& skillId) {
  FileSystem& fs = eventStore_.fileManager();
  Clock& clock = eventStore_.clock();

  ReplayRunMetadata run;
  run.skillId = skillId;
  run.startedAt = formatIso8601(clock.wallMillis());
  run.runId = makeRunId(skillId, run.startedAt);
  const std::string runPath =
      layout::replayRunDirectory(layout::absoluteWorkspace(fs, workspacePath), run.runId);
  const std::string screenshots = joinPath(runPath, layout::kScreenshotsFolder);
  fs.createDirectories(screenshots);

  const ScreenCaptureResult before = screenCapture_.capturePNG(joinPath(screenshots, "before.png"));
  run.steps = replayer_.replay(workspacePath, skillId).steps;
  const ScreenCaptureResult after = screenCapture_.capturePNG(joinPath(screenshots, "after.png"));
  run.endedAt = formatIso8601(clock.wallMillis());
  for (const ScreenCaptureResult* shot : {&before, &after}) {
    if (shot->ok) run.screenshots.push_back(shot->path);
  }
  fs.writeFileAtomically(joinPath(runPath, layout::kRunFile), writeJson(run.toJson(), JsonLayout::Pretty));

  RecorderReplayResult result;
  result.runId = run.runId;
  result.runPath = runPath;
  return result;
}

}  // namespace diruri
