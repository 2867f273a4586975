// Screenshots of a Wayland session through the wlroots screen-copy protocol.
#pragma once

#include <chrono>

#include "core/records/rgb_image.hpp"

namespace diruri {

// The first output of the session's compositor, copied into shared memory, within
// `budget`. False when no compositor answers, it offers no screen copy or no output, the copy
// failed, or its pixel format is not one of the 32-bit RGB ones.
bool copyWaylandOutput(RgbImage& image, std::chrono::milliseconds budget);

}  // namespace diruri
