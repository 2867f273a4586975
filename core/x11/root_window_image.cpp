// The X root window's pixels as 8-bit RGB, whatever the visual's channel layout.
#include "core/x11/root_window_image.hpp"

#include "core/x11/x11_connection.hpp"

namespace diruri {

namespace {

// How to take one channel out of a pixel: shift right, then scale the masked value to 8 bits.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  int bits = 0;

  explicit Channel(uint32_t m) : mask(m) {
    if (m == 0) return;
    while (((m >> shift) & 1u) == 0) ++shift;
    while (((m >> (shift + bits)) & 1u) != 0) ++bits;
  }
  uint8_t of(uint32_t pixel) const {
    const uint32_t v = (pixel & mask) >> shift;
    if (bits >= 8) return static_cast<uint8_t>(v >> (bits - 8));
    return static_cast<uint8_t>(bits == 0 ? 0 : (v * 255u) / ((1u << bits) - 1u));
  }
};

const xcb_visualtype_t* findVisual(const xcb_screen_t* screen, xcb_visualid_t id) {
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == id) return v.data;
    }
  }
  return nullptr;
}

}  // namespace

bool grabRootWindow(RgbImage& out) {
  const X11Connection connection;
  xcb_connection_t* const c = connection.get();
  bool ok = false;
  if (connection.ok()) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_screen_t* screen = connection.screen();
    const xcb_visualtype_t* visual = screen ? findVisual(screen, screen->root_visual) : nullptr;
    int bitsPerPixel = 0;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); screen && f.rem > 0; xcb_format_next(&f)) {
      if (f.data->depth == screen->root_depth) bitsPerPixel = f.data->bits_per_pixel;
    }
    if (visual != nullptr && (screen->root_depth == 24 || screen->root_depth == 32) &&
        (bitsPerPixel == 24 || bitsPerPixel == 32)) {
      const int w = screen->width_in_pixels;
      const int h = screen->height_in_pixels;
      XcbReply<xcb_get_image_reply_t> image(
          xcb_get_image_reply(c,
                              xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0,
                                            static_cast<uint16_t>(w), static_cast<uint16_t>(h), ~0u),
                              nullptr));
      const int bytesPerPixel = bitsPerPixel / 8;
      // Z-pixmap rows are padded to the server's scanline unit.
      const int pad = setup->bitmap_format_scanline_pad / 8;
      const size_t stride = (static_cast<size_t>(w) * bytesPerPixel + pad - 1) / pad * pad;
      if (image && static_cast<size_t>(xcb_get_image_data_length(image.get())) >= stride * h) {
        const uint8_t* data = xcb_get_image_data(image.get());
        const bool msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
        const Channel red(visual->red_mask), green(visual->green_mask), blue(visual->blue_mask);
        out.width = w;
        out.height = h;
        out.rgb.resize(static_cast<size_t>(w) * h * 3);
        uint8_t* dst = out.rgb.data();
        // The usual little-endian 8-8-8 layout needs no per-channel arithmetic.
        const bool plainBgrx = !msbFirst && bytesPerPixel == 4 && visual->red_mask == 0xff0000 &&
                               visual->green_mask == 0xff00 && visual->blue_mask == 0xff;
        for (int y = 0; plainBgrx && y < h; ++y) {
          const uint8_t* p = data + stride * y;
          for (int x = 0; x < w; ++x, p += 4, dst += 3) {
            dst[0] = p[2];
            dst[1] = p[1];
            dst[2] = p[0];
          }
        }
        for (int y = 0; !plainBgrx && y < h; ++y) {
          const uint8_t* p = data + stride * y;
          for (int x = 0; x < w; ++x, p += bytesPerPixel, dst += 3) {
            uint32_t pixel = 0;
            for (int b = 0; b < bytesPerPixel; ++b) {
              const int byte = msbFirst ? b : bytesPerPixel - 1 - b;
              pixel = (pixel << 8) | p[byte];
            }
            dst[0] = red.of(pixel);
            dst[1] = green.of(pixel);
            dst[2] = blue.of(pixel);
          }
        }
        ok = true;
      }
    }
  }
  return ok;
}

}  // namespace diruri
