// One frame of the primary monitor through GNOME's screen-cast service and PipeWire: how a plain
// client takes a screenshot there (the shell's own screenshot service refuses ordinary clients).
#pragma once

#include <chrono>

#include "core/records/rgb_image.hpp"

namespace diruri {

// Whether the session bus has the compositor's screen-cast service.
bool screenCastOffered();

// Records the primary monitor, takes the first frame that holds pixels into `image`, and ends the
// recording; false when the service, PipeWire (libpipewire, loaded at run time, and a session
// manager that links the stream) or a frame is not there within `within`. Prints nothing.
bool castMonitorFrame(RgbImage& image, std::chrono::milliseconds within);

}  // namespace diruri
