// The only place that names the platform's implementations.
#include "core/mcp/default_graph.hpp"

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/atspi/atspi_front_window.hpp"
#include "core/atspi/atspi_meaning_recorder.hpp"
#include "core/capture/helper_screen_capture.hpp"
#include "core/platform/posix_file_system.hpp"
#include "core/replay/first_reachable_poster.hpp"
#include "core/skill/skill_library.hpp"
#include "core/store/workspace_layout.hpp"
#include "core/wayland/mutter_remote_desktop.hpp"
#include "core/wayland/screen_cast.hpp"
#include "core/wayland/wayland_event_poster.hpp"
#include "core/wayland/wayland_front_window.hpp"
#include "core/wayland/wayland_globals.hpp"
#include "core/x11/x11_accessibility_bus.hpp"
#include "core/x11/x11_event_poster.hpp"
#include "core/x11/x11_front_window.hpp"
#include "core/x11/x11_input_recorder.hpp"

namespace diruri {

namespace {

// Unset and empty are alike.
const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The wlroots screen copy, or GNOME's screen cast.
bool screenCaptureOffered() {
  const std::optional<std::set<std::string>> globals = waylandGlobals();
  return (globals && globals->count("zwlr_screencopy_manager_v1") > 0) || screenCastOffered();
}

}  // namespace

std::string x11DisplayName() {
  const char* display = environment("DISPLAY");
  return display != nullptr ? display : "";
}

DisplayBusAddress x11AccessibilityBus() {
  return []() -> std::optional<std::string> {
    const char* display = environment("DISPLAY");
    if (display == nullptr) return std::nullopt;
    const char* accessibilityDisplay = environment("AT_SPI_DISPLAY");
    return x11AccessibilityBusAddress(accessibilityDisplay != nullptr ? accessibilityDisplay : display);
  };
}

DefaultGraph::DefaultGraph()
    : fileSystem_(std::make_unique<PosixFileSystem>(layout::kRootFolder)),
      store_(std::make_unique<EventStore>(*fileSystem_, systemClock())) {
  // The back end is chosen here and nowhere else. A Wayland session is recorded through the
  // compositor and the accessibility bus even where it also runs an X server for older
  // applications: that server sees only those.
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland != nullptr && *wayland != '\0') {
    // The compositor tells the front window where it does (sway, the foreign-toplevel list); GNOME's
    // tells no client, and the accessibility bus's window events do.
    const auto frontWindows = [] {
      return std::make_unique<FirstKnowingFrontWindow>(
          std::make_unique<WaylandFrontWindow>(), std::make_unique<AtspiFrontWindow>(DisplayBusAddress{}));
    };
    frontWindows_ = frontWindows();
    eventTap_ = std::make_unique<AtspiMeaningRecorder>(*frontWindows_, DisplayBusAddress{});
    screenCapture_ = std::make_unique<HelperScreenCapture>(*fileSystem_, screenCaptureOffered,
                                                           std::vector<std::string>{"--wayland"});
    inspector_ = std::make_unique<AccessibilityInspector>(
        systemClock(), frontWindows(), AccessibilityInspector::Extents::kWindow, DisplayBusAddress{});
    // wlroots compositors take virtual input; GNOME's takes it through its remote-desktop service.
    std::vector<std::unique_ptr<EventPoster>> routes;
    routes.push_back(std::make_unique<WaylandEventPoster>());
    routes.push_back(std::make_unique<MutterRemoteDesktopPoster>());
    poster_ = std::make_unique<FirstReachablePoster>(std::move(routes));
  } else {
    // libatspi asks the root window only when no Wayland display is named, not even an empty one.
    DisplayBusAddress displayBus = wayland == nullptr ? x11AccessibilityBus() : DisplayBusAddress{};
    displayProbe_ = std::make_unique<X11DisplayProbe>(x11DisplayName);
    eventTap_ = std::make_unique<X11InputRecorder>(*displayProbe_);
    X11DisplayProbe& probe = *displayProbe_;
    screenCapture_ = std::make_unique<HelperScreenCapture>(
        *fileSystem_, [&probe] { return probe.current().reachable; }, std::vector<std::string>{"--x11"});
    inspector_ = std::make_unique<AccessibilityInspector>(systemClock(), std::make_unique<X11FrontWindow>(),
                                                          AccessibilityInspector::Extents::kScreen,
                                                          std::move(displayBus));
    poster_ = std::make_unique<X11EventPoster>();
  }
  const std::string localSkillStore =
      defaultLocalSkillStore(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
  replayer_ = std::make_unique<SemanticReplayer>(*fileSystem_, *poster_, *inspector_, localSkillStore);
  skills_ = std::make_unique<SkillLibrary>(*fileSystem_, localSkillStore);
  replays_ = std::make_unique<ReplayRuns>(*store_, *screenCapture_, *replayer_);
  recorder_ = std::make_unique<RecorderController>(*store_, *eventTap_, *screenCapture_, *inspector_);
}

DefaultGraph::~DefaultGraph() = default;

}  // namespace diruri
