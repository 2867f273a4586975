// Where the system's files lie below a workspace: the one place that spells out the .zeruva tree.
#pragma once

#include <string>

#include "core/platform/file_system.hpp"
#include "core/platform/path.hpp"

namespace diruri::layout {

// The folder below the workspace that holds everything the system writes.
inline constexpr char kRootFolder[] = ".zeruva";

// Files and folders of one recording session.
inline constexpr char kEventsFile[] = "events.jsonl";
inline constexpr char kSessionFile[] = "session.json";
inline constexpr char kSummaryFile[] = "summary.json";
inline constexpr char kScreenshotsFolder[] = "screenshots";
inline constexpr char kSnapshotsFolder[] = "ax-snapshots";

// Files of one replay run (the screenshots go to kScreenshotsFolder).
inline constexpr char kRunFile[] = "run.json";

// The workspace as an absolute directory path without a trailing "/"; the current directory is
// asked only for a relative path.
inline std::string absoluteWorkspace(FileSystem& fileSystem, const std::string& workspacePath) {
  return absoluteDirectoryPath(
      workspacePath, workspacePath.starts_with('/') ? std::string() : fileSystem.currentDirectory());
}

// <workspace>/.zeruva/record-and-replay/sessions/<sessionId>
inline std::string sessionDirectory(const std::string& workspace, const std::string& sessionId) {
  return joinPath(joinPath(workspace, std::string(kRootFolder) + "/record-and-replay/sessions"), sessionId);
}

// <workspace>/.zeruva/record-and-replay/replay-runs/<runId>
inline std::string replayRunDirectory(const std::string& workspace, const std::string& runId) {
  return joinPath(joinPath(workspace, std::string(kRootFolder) + "/record-and-replay/replay-runs"), runId);
}

// <workspace>/.zeruva/skills/<skillId>
inline std::string skillDirectory(const std::string& workspace, const std::string& skillId) {
  return joinPath(joinPath(workspace, std::string(kRootFolder) + "/skills"), skillId);
}

// <skill>/references/events.jsonl: a generated skill's own copy of its recorded events.
inline constexpr char kSkillEventsFile[] = "references/events.jsonl";

// <skill>/references/parameters.json: the values a skill takes ({"parameters": [...]}).
inline constexpr char kSkillParametersFile[] = "references/parameters.json";

// <skill>/references/recording.json: names the session a skill was made from.
inline std::string skillRecordingReference(const std::string& skillDirectoryPath) {
  return joinPath(skillDirectoryPath, "references/recording.json");
}

}  // namespace diruri::layout
