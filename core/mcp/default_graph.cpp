// The only place that names the platform's implementations.
#include "core/mcp/default_graph.hpp"

#include <cstdlib>

#include "core/platform/posix_file_system.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/workspace_layout.hpp"
#include "core/x11/accessibility_inspector.hpp"
#include "core/x11/event_tap_recorder.hpp"
#include "core/x11/screen_capture_store.hpp"
#include "core/x11/x11_event_poster.hpp"

namespace diruri {

DefaultGraph::DefaultGraph()
    : fileSystem_(std::make_unique<PosixFileSystem>(layout::kRootFolder)),
      store_(std::make_unique<EventStore>(*fileSystem_, systemClock())),
      displayProbe_(std::make_unique<X11DisplayProbe>()),
      eventTap_(std::make_unique<EventTapRecorder>(*displayProbe_)),
      screenCapture_(std::make_unique<ScreenCaptureStore>(*fileSystem_, *displayProbe_)),
      inspector_(std::make_unique<AccessibilityInspector>(*fileSystem_, systemClock())),
      poster_(std::make_unique<X11EventPoster>()),
      recorder_(std::make_unique<RecorderController>(
          *store_, *eventTap_, *screenCapture_, *inspector_, *poster_,
          defaultLocalSkillStore(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")))) {}

DefaultGraph::~DefaultGraph() = default;

}  // namespace diruri
