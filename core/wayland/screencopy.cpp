// One frame of the first output: the compositor names the buffer it wants, a shared-memory buffer
// of that shape is handed over, and the pixels are read once the compositor says the copy is ready.
#include "core/wayland/screencopy.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/wayland/wayland_dispatch.hpp"
#include "screencopy-client-protocol.h"

namespace diruri {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr uint32_t kYInvert = 1;
constexpr int kMaxSide = 16384;

struct Copy {
  wl_shm* shm = nullptr;
  wl_output* output = nullptr;
  zwlr_screencopy_manager_v1* manager = nullptr;
  uint32_t managerVersion = 0;
  // The frame's answers.
  bool shmOffered = false;
  uint32_t format = 0, width = 0, height = 0, stride = 0;
  bool buffersListed = false, ready = false, failed = false;
  uint32_t flags = 0;

  ~Copy() {
    if (manager != nullptr) zwlr_screencopy_manager_v1_destroy(manager);
    if (output != nullptr) wl_output_destroy(output);
    if (shm != nullptr) wl_shm_destroy(shm);
  }
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  Copy& copy = *static_cast<Copy*>(data);
  const std::string_view is = interface != nullptr ? interface : "";
  if (is == wl_shm_interface.name && copy.shm == nullptr) {
    copy.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (is == wl_output_interface.name && copy.output == nullptr) {
    copy.output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
  } else if (is == zwlr_screencopy_manager_v1_interface.name && copy.manager == nullptr) {
    copy.managerVersion = std::min<uint32_t>(version, 3);
    copy.manager = static_cast<zwlr_screencopy_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_screencopy_manager_v1_interface, copy.managerVersion));
  }
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
constexpr wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

bool isRgb32(uint32_t format) {
  return format == WL_SHM_FORMAT_ARGB8888 || format == WL_SHM_FORMAT_XRGB8888 ||
         format == WL_SHM_FORMAT_ABGR8888 || format == WL_SHM_FORMAT_XBGR8888;
}

void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
              uint32_t stride) {
  Copy& copy = *static_cast<Copy*>(data);
  if (copy.shmOffered || !isRgb32(format)) return;  // the first 32-bit RGB one
  copy.shmOffered = true;
  copy.format = format;
  copy.width = width;
  copy.height = height;
  copy.stride = stride;
  if (copy.managerVersion < 3) copy.buffersListed = true;  // before version 3 there is only this one
}
void onFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
  static_cast<Copy*>(data)->flags = flags;
}
void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
  static_cast<Copy*>(data)->ready = true;
}
void onFailed(void* data, zwlr_screencopy_frame_v1*) { static_cast<Copy*>(data)->failed = true; }
void onDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
void onBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<Copy*>(data)->buffersListed = true; }
constexpr zwlr_screencopy_frame_v1_listener kFrameListener = {onBuffer, onFlags,  onReady,     onFailed,
                                                              onDamage, onDmabuf, onBufferDone};

class SharedMemory {
 public:
  explicit SharedMemory(size_t size) : size_(size) {
    fd_ = ::memfd_create("diruri-screencopy", MFD_CLOEXEC);
    if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(size)) != 0) return;
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (mapped != MAP_FAILED) data_ = static_cast<uint8_t*>(mapped);
  }
  ~SharedMemory() {
    if (data_ != nullptr) ::munmap(data_, size_);
    if (fd_ >= 0) ::close(fd_);
  }
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  int fd() const { return fd_; }
  const uint8_t* data() const { return data_; }

 private:
  size_t size_;
  int fd_ = -1;
  uint8_t* data_ = nullptr;
};

}  // namespace

bool copyWaylandOutput(RgbImage& image, std::chrono::milliseconds budget) {
  const auto deadline = SteadyClock::now() + budget;
  std::unique_ptr<wl_display, WaylandDisconnect> display(wl_display_connect(nullptr));
  if (!display) return false;
  Copy copy;
  if (!listGlobals(display.get(), kRegistryListener, &copy, deadline) || copy.shm == nullptr ||
      copy.output == nullptr || copy.manager == nullptr)
    return false;

  zwlr_screencopy_frame_v1* frame = zwlr_screencopy_manager_v1_capture_output(copy.manager, 0, copy.output);
  zwlr_screencopy_frame_v1_add_listener(frame, &kFrameListener, &copy);
  bool ok = dispatchUntil(
                display.get(), [&] { return copy.buffersListed || copy.failed; }, deadline) &&
            !copy.failed && copy.shmOffered && copy.width > 0 && copy.height > 0 && copy.width <= kMaxSide &&
            copy.height <= kMaxSide && copy.stride >= copy.width * 4;
  if (ok) {
    const size_t size = static_cast<size_t>(copy.stride) * copy.height;
    SharedMemory memory(size);
    ok = memory.data() != nullptr;
    if (ok) {
      wl_shm_pool* pool = wl_shm_create_pool(copy.shm, memory.fd(), static_cast<int32_t>(size));
      wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, static_cast<int32_t>(copy.width),
                                                    static_cast<int32_t>(copy.height),
                                                    static_cast<int32_t>(copy.stride), copy.format);
      zwlr_screencopy_frame_v1_copy(frame, buffer);
      ok = dispatchUntil(
               display.get(), [&] { return copy.ready || copy.failed; }, deadline) &&
           copy.ready;
      if (ok) {
        // Little-endian 32-bit pixels: B, G, R, A in memory for ARGB/XRGB; R, G, B, A for ABGR/XBGR.
        const bool bgr = copy.format == WL_SHM_FORMAT_ARGB8888 || copy.format == WL_SHM_FORMAT_XRGB8888;
        image.width = static_cast<int>(copy.width);
        image.height = static_cast<int>(copy.height);
        image.rgb.resize(static_cast<size_t>(copy.width) * copy.height * 3);
        uint8_t* out = image.rgb.data();
        for (uint32_t y = 0; y < copy.height; ++y) {
          const uint32_t row = (copy.flags & kYInvert) ? copy.height - 1 - y : y;
          const uint8_t* in = memory.data() + static_cast<size_t>(row) * copy.stride;
          for (uint32_t x = 0; x < copy.width; ++x, in += 4, out += 3) {
            out[0] = bgr ? in[2] : in[0];
            out[1] = in[1];
            out[2] = bgr ? in[0] : in[2];
          }
        }
      }
      wl_buffer_destroy(buffer);
      wl_shm_pool_destroy(pool);
    }
  }
  zwlr_screencopy_frame_v1_destroy(frame);
  return ok;
}

}  // namespace diruri
