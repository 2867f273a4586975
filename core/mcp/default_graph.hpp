// The composition root: the real components of a running server, built once and owned together.
#pragma once

#include <memory>
#include <string>

#include "core/atspi/accessibility_bus_location.hpp"
#include "core/mcp/tool_table.hpp"
#include "core/recorder/recorder_controller.hpp"
#include "core/recorder/replay_runs.hpp"
#include "core/replay/semantic_replayer.hpp"
#include "core/skill/skill_library.hpp"

namespace diruri {

class X11DisplayProbe;
class FrontWindowSource;

// What the X11 back end is handed of the environment (also where tests build its parts): the
// display's name, read anew at each use as libxcb would read it (empty when none), and where that
// display says the accessibility bus is.
std::string x11DisplayName();
DisplayBusAddress x11AccessibilityBus();

// Building it touches no file, display or permission and starts no thread; everything waits for
// the first tool call. The environment, read once here, chooses the X11 or the Wayland back end,
// and the back ends are handed what they need of it.
class DefaultGraph {
 public:
  DefaultGraph();
  ~DefaultGraph();
  DefaultGraph(const DefaultGraph&) = delete;
  DefaultGraph& operator=(const DefaultGraph&) = delete;

  ToolServices services() { return {*recorder_, *skills_, *replays_}; }

 private:
  std::unique_ptr<FileSystem> fileSystem_;
  std::unique_ptr<EventStore> store_;
  // X11: what the display offers, shared by the components that report it.
  std::unique_ptr<X11DisplayProbe> displayProbe_;
  // Wayland: the compositor's front window, for the recorder's inferred clicks.
  std::unique_ptr<FrontWindowSource> frontWindows_;
  std::unique_ptr<InputEventRecording> eventTap_;
  std::unique_ptr<ScreenCapturing> screenCapture_;
  std::unique_ptr<AccessibilityInspecting> inspector_;
  std::unique_ptr<EventPoster> poster_;
  std::unique_ptr<SemanticReplayer> replayer_;
  std::unique_ptr<SkillLibrary> skills_;
  std::unique_ptr<ReplayRuns> replays_;
  // Declared last so it is destroyed first: it stops the event source while the rest still exists.
  std::unique_ptr<RecorderController> recorder_;
};

}  // namespace diruri
