// A screenshot's pixels, whichever display they came from.
#pragma once

#include <cstdint>
#include <vector>

namespace diruri {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // rows of 3-byte pixels, no padding
};

}  // namespace diruri
