// The X root window's pixels, read in one request.
#pragma once

#include <cstdint>
#include <vector>

namespace diruri {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // rows of 3-byte pixels, no padding
};

// The whole root window of $DISPLAY's screen. False when the display cannot be reached, or its
// root is not of 24 or 32 bits per pixel.
bool grabRootWindow(RgbImage& out);

}  // namespace diruri
