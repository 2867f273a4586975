// Screenshot helper: writes a PNG of the whole X root window to the path it is given.
//
// Usage: DiruriRediro-screenshot <path>. Exit status 0 only when the complete file is in place (it
// is written beside the target and renamed over it). Prints nothing, ever: its caller's streams
// may carry a protocol.
#include <png.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2 };

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

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

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // rows of 3-byte pixels
};

const xcb_visualtype_t* findVisual(const xcb_screen_t* screen, xcb_visualid_t id) {
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem > 0; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == id) return v.data;
    }
  }
  return nullptr;
}

bool grabRoot(Image& out) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
  bool ok = false;
  if (!xcb_connection_has_error(c)) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
    const xcb_screen_t* screen = it.rem > 0 ? it.data : nullptr;
    const xcb_visualtype_t* visual = screen ? findVisual(screen, screen->root_visual) : nullptr;
    int bitsPerPixel = 0;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); screen && f.rem > 0;
         xcb_format_next(&f)) {
      if (f.data->depth == screen->root_depth) bitsPerPixel = f.data->bits_per_pixel;
    }
    if (visual != nullptr && (screen->root_depth == 24 || screen->root_depth == 32) &&
        (bitsPerPixel == 24 || bitsPerPixel == 32)) {
      const int w = screen->width_in_pixels;
      const int h = screen->height_in_pixels;
      std::unique_ptr<xcb_get_image_reply_t, FreeDeleter> image(xcb_get_image_reply(
          c,
          xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0, static_cast<uint16_t>(w),
                        static_cast<uint16_t>(h), ~0u),
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
  xcb_disconnect(c);
  return ok;
}

// libpng reports errors by calling this; it must not return, and must not print.
[[noreturn]] void pngError(png_structp png, png_const_charp) { longjmp(png_jmpbuf(png), 1); }
void pngWarning(png_structp, png_const_charp) {}

// Only trivially destructible locals here: libpng leaves by longjmp on error.
bool writePng(FILE* file, const Image& image) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  // Speed over size: the fastest deflate level and one fixed row filter instead of trying all five.
  png_set_compression_level(png, 1);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
               static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  const size_t rowBytes = static_cast<size_t>(image.width) * 3;
  for (int y = 0; y < image.height; ++y) {
    png_write_row(png, const_cast<png_bytep>(image.rgb.data() + rowBytes * y));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // A write to a server that went away must fail, not kill us silently mid-file.
  signal(SIGPIPE, SIG_IGN);
  if (argc != 2 || argv[1][0] == '\0') return kUsage;
  const std::string target = argv[1];

  Image image;
  if (!grabRoot(image)) return kFailed;

  // The store removes this name when it has to kill a helper that overran its time.
  const std::string temp = target + ".tmp-" + std::to_string(getpid());
  FILE* file = fopen(temp.c_str(), "wbe");
  if (file == nullptr) return kFailed;
  bool ok = writePng(file, image);
  ok = (fclose(file) == 0) && ok;
  if (ok && rename(temp.c_str(), target.c_str()) == 0) return kOk;
  unlink(temp.c_str());
  return kFailed;
}
