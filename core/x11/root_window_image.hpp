// The X root window's pixels, read in one request.
#pragma once

#include "core/records/rgb_image.hpp"

namespace diruri {

// The whole root window of $DISPLAY's screen. False when the display cannot be reached, or its
// root is not of 24 or 32 bits per pixel.
bool grabRootWindow(RgbImage& out);

}  // namespace diruri
