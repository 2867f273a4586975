// The only place that names the X11 implementations.
#include "core/mcp/default_graph.hpp"

#include "core/capture/x11/accessibility_inspector.hpp"
#include "core/capture/x11/event_tap_recorder.hpp"
#include "core/capture/x11/screen_capture_store.hpp"
#include "core/capture/x11/x11_event_poster.hpp"

namespace diruri {

DefaultGraph::DefaultGraph()
    : store_(std::make_unique<EventStore>(posixFileSystem(), systemClock())),
      eventTap_(std::make_unique<EventTapRecorder>()),
      screenCapture_(std::make_unique<ScreenCaptureStore>(posixFileSystem())),
      inspector_(std::make_unique<AccessibilityInspector>(posixFileSystem(), systemClock())),
      poster_(std::make_unique<X11EventPoster>()),
      recorder_(std::make_unique<RecorderController>(*store_, *eventTap_, *screenCapture_, *inspector_,
                                                     *poster_)) {}

DefaultGraph::~DefaultGraph() = default;

}  // namespace diruri
