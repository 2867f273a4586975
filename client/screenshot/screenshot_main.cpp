// Screenshot helper: writes a PNG of the whole screen to the path it is given: with --wayland, the
// first output of the session's compositor through the wlroots screen copy, or where that is not
// offered (GNOME) the primary monitor through the screen-cast service; else (--x11, or no option)
// the X root window. The server, which chose its back end, says which.
//
// Usage: DiruriRediro-screenshot [--wayland|--x11] <path>. Exit status 0 only when the complete
// file is in place (it is written beside the target and renamed over it), 2 for a wrong usage.
// Prints nothing, ever: its caller's streams may carry a protocol.
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/wayland/screen_cast.hpp"
#include "core/wayland/screencopy.hpp"
#include "core/x11/root_window_image.hpp"

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2 };

// libpng reports errors by calling this; it must not return, and must not print.
[[noreturn]] void pngError(png_structp png, png_const_charp) { longjmp(png_jmpbuf(png), 1); }
void pngWarning(png_structp, png_const_charp) {}

// Only trivially destructible locals here: libpng leaves by longjmp on error.
bool writePng(FILE* file, const diruri::RgbImage& image) {
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
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
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
  const std::string source = argc == 3 ? argv[1] : "--x11";
  if ((argc != 2 && argc != 3) || (source != "--wayland" && source != "--x11") || argv[argc - 1][0] == '\0')
    return kUsage;
  const std::string target = argv[argc - 1];

  // Libraries loaded on the way (PipeWire's) may write to stderr: nothing of them reaches the caller.
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull >= 0) dup2(devNull, STDERR_FILENO);

  diruri::RgbImage image;
  bool copied = false;
  if (source == "--wayland") {
    // A screen cast's first frame comes after a stream is negotiated and linked: on a loaded
    // machine that takes seconds, within the server's limit for the helper (10 s).
    copied = diruri::copyWaylandOutput(image, std::chrono::seconds(5)) ||
             diruri::castMonitorFrame(image, std::chrono::seconds(8));
  } else {
    copied = diruri::grabRootWindow(image);
  }
  if (!copied) return kFailed;

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
