// The only place that names the platform's implementations.
#include "core/mcp/default_graph.hpp"

#include <cstdlib>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/atspi/atspi_meaning_recorder.hpp"
#include "core/capture/helper_screen_capture.hpp"
#include "core/platform/posix_file_system.hpp"
#include "core/replay/first_reachable_poster.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/workspace_layout.hpp"
#include "core/wayland/mutter_remote_desktop.hpp"
#include "core/wayland/wayland_event_poster.hpp"
#include "core/wayland/wayland_front_window.hpp"
#include "core/wayland/wayland_globals.hpp"
#include "core/x11/x11_event_poster.hpp"
#include "core/x11/x11_input_recorder.hpp"

namespace diruri {

namespace {

bool isWaylandSession() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display != nullptr && *display != '\0';
}

bool screenCopyOffered() {
  const std::optional<std::set<std::string>> globals = waylandGlobals();
  return globals && globals->count("zwlr_screencopy_manager_v1") > 0;
}

}  // namespace

DefaultGraph::DefaultGraph()
    : fileSystem_(std::make_unique<PosixFileSystem>(layout::kRootFolder)),
      store_(std::make_unique<EventStore>(*fileSystem_, systemClock())) {
  // A Wayland session is recorded through the compositor and the accessibility bus even where it
  // also runs an X server for older applications: that server sees only those.
  if (isWaylandSession()) {
    frontWindows_ = std::make_unique<WaylandFrontWindow>();
    eventTap_ = std::make_unique<AtspiMeaningRecorder>(*frontWindows_);
    screenCapture_ = std::make_unique<HelperScreenCapture>(*fileSystem_, screenCopyOffered,
                                                           std::vector<std::string>{"--wayland"});
    inspector_ = std::make_unique<AccessibilityInspector>(*fileSystem_, systemClock(),
                                                          std::make_unique<WaylandFrontWindow>(),
                                                          AccessibilityInspector::Extents::kWindow);
    // wlroots compositors take virtual input; GNOME's takes it through its remote-desktop service.
    std::vector<std::unique_ptr<EventPoster>> routes;
    routes.push_back(std::make_unique<WaylandEventPoster>());
    routes.push_back(std::make_unique<MutterRemoteDesktopPoster>());
    poster_ = std::make_unique<FirstReachablePoster>(std::move(routes));
  } else {
    displayProbe_ = std::make_unique<X11DisplayProbe>();
    eventTap_ = std::make_unique<X11InputRecorder>(*displayProbe_);
    X11DisplayProbe& probe = *displayProbe_;
    screenCapture_ = std::make_unique<HelperScreenCapture>(
        *fileSystem_, [&probe] { return probe.current().reachable; }, std::vector<std::string>{"--x11"});
    inspector_ = std::make_unique<AccessibilityInspector>(*fileSystem_, systemClock());
    poster_ = std::make_unique<X11EventPoster>();
  }
  recorder_ = std::make_unique<RecorderController>(
      *store_, *eventTap_, *screenCapture_, *inspector_, *poster_,
      defaultLocalSkillStore(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")));
}

DefaultGraph::~DefaultGraph() = default;

}  // namespace diruri
