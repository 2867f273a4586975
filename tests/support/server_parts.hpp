// The parts a server is built of, over the given capture, screen, accessibility and input doubles,
// put together as the composition root puts together the real ones.
#pragma once

#include <string>

#include "core/mcp/tool_table.hpp"
#include "core/recorder/recorder_controller.hpp"
#include "core/recorder/replay_runs.hpp"
#include "core/replay/semantic_replayer.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/event_store.hpp"

namespace diruri::test {

struct ServerParts {
  ServerParts(EventStore& store, InputEventRecording& tap, ScreenCapturing& screen,
              AccessibilityInspecting& inspector, EventPoster& poster,
              const std::string& localSkillStore = {})
      : replayer(store.fileSystem(), poster, inspector, localSkillStore),
        skills(store.fileSystem(), localSkillStore),
        replays(store, screen, replayer),
        recorder(store, tap, screen, inspector) {}

  ToolServices services() { return {recorder, skills, replays}; }

  SemanticReplayer replayer;
  SkillLibrary skills;
  ReplayRuns replays;
  // Last, so that it is destroyed first: it stops the event source while the rest still exists.
  RecorderController recorder;
};

}  // namespace diruri::test
