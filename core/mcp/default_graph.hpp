// The composition root: the real components of a running server, built once and owned together.
#pragma once

#include <memory>

#include "core/recorder/recorder_controller.hpp"

namespace diruri {

class X11DisplayProbe;
class FrontWindowSource;

// Building it touches no file, display or permission and starts no thread; everything waits for
// the first tool call. $WAYLAND_DISPLAY, read once here, chooses the Wayland back end.
class DefaultGraph {
 public:
  DefaultGraph();
  ~DefaultGraph();
  DefaultGraph(const DefaultGraph&) = delete;
  DefaultGraph& operator=(const DefaultGraph&) = delete;

  RecorderController& recorder() { return *recorder_; }

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
  // Declared last so it is destroyed first: it stops the event source while the rest still exists.
  std::unique_ptr<RecorderController> recorder_;
};

}  // namespace diruri
