// A screenshot through the screen-cast service: a session recording the primary monitor, its
// PipeWire stream read until one frame with pixels came.
#include "core/wayland/screen_cast.hpp"

#include <dlfcn.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>

#include "core/dbus/dbus_calls.hpp"
#include "core/platform/sigpipe_guard.hpp"

namespace diruri {

using namespace dbus;

namespace {

constexpr char kScreenCast[] = "org.gnome.Mutter.ScreenCast";
constexpr char kCastSession[] = "org.gnome.Mutter.ScreenCast.Session";

// The libpipewire functions used, bound at run time: an X11 or wlroots session has no need of it.
#define DIRURI_PW_FUNCTIONS(X) \
  X(pw_init)                   \
  X(pw_log_set_level)          \
  X(pw_properties_new)         \
  X(pw_thread_loop_new)        \
  X(pw_thread_loop_get_loop)   \
  X(pw_thread_loop_start)      \
  X(pw_thread_loop_stop)       \
  X(pw_thread_loop_lock)       \
  X(pw_thread_loop_unlock)     \
  X(pw_thread_loop_timed_wait) \
  X(pw_thread_loop_signal)     \
  X(pw_thread_loop_destroy)    \
  X(pw_stream_new_simple)      \
  X(pw_stream_connect)         \
  X(pw_stream_update_params)   \
  X(pw_stream_dequeue_buffer)  \
  X(pw_stream_queue_buffer)    \
  X(pw_stream_destroy)

struct PipeWireApi {
#define DIRURI_PW_MEMBER(name) decltype(&::name) name = nullptr;
  DIRURI_PW_FUNCTIONS(DIRURI_PW_MEMBER)
#undef DIRURI_PW_MEMBER
};

const PipeWireApi* pipeWire() {
  static const PipeWireApi* const api = []() -> const PipeWireApi* {
    void* handle = ::dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) return nullptr;
    static PipeWireApi loaded;
    bool complete = true;
#define DIRURI_PW_BIND(name)                                                     \
  loaded.name = reinterpret_cast<decltype(loaded.name)>(::dlsym(handle, #name)); \
  complete = complete && loaded.name != nullptr;
    DIRURI_PW_FUNCTIONS(DIRURI_PW_BIND)
#undef DIRURI_PW_BIND
    return complete ? &loaded : nullptr;
  }();
  return api;
}

bool emptyOptions(DBusMessageIter& args) {
  DBusMessageIter dict;
  return libdbus().dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &dict) &&
         libdbus().dbus_message_iter_close_container(&args, &dict);
}

// The stream's node once the recording started: from its PipeWireStreamAdded signal.
std::optional<uint32_t> startRecording(DBusConnection* bus, const std::string& session,
                                       const std::string& stream, const Budget& budget) {
  const std::string rule =
      "type='signal',interface='org.gnome.Mutter.ScreenCast.Stream',member='"
      "PipeWireStreamAdded',path='" +
      stream + "'";
  if (!isReply(call(bus, DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "AddMatch", {rule.c_str()},
                    budget)) ||
      !isReply(callWith(bus, kScreenCast, session.c_str(), kCastSession, "Start", budget,
                        [](DBusMessageIter&) { return true; })))
    return std::nullopt;
  // The signal may have come with Start's answer and wait in the queue already: reading the socket
  // first would wait for more that never comes.
  do {
    while (Message message{libdbus().dbus_connection_pop_message(bus)}) {
      if (!libdbus().dbus_message_is_signal(message.get(), "org.gnome.Mutter.ScreenCast.Stream",
                                            "PipeWireStreamAdded"))
        continue;
      dbus_uint32_t node = 0;
      DBusError error;
      libdbus().dbus_error_init(&error);
      if (libdbus().dbus_message_get_args(message.get(), &error, DBUS_TYPE_UINT32, &node, DBUS_TYPE_INVALID))
        return node;
      libdbus().dbus_error_free(&error);
    }
  } while (budget.remainingMillis() > 0 &&
           libdbus().dbus_connection_read_write(bus, budget.remainingMillis()));
  return std::nullopt;
}

// What the stream callbacks share with the caller, under the thread loop's lock.
struct Capture {
  const PipeWireApi* pw = nullptr;
  pw_thread_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_video_info_raw format{};
  bool formatKnown = false;
  bool done = false;
  RgbImage* image = nullptr;
};

// Pixels of the negotiated format into RGB; false for a format this does not read.
bool toRgb(const uint8_t* pixels, uint32_t stride, const spa_video_info_raw& format, RgbImage& image) {
  int r = 0, g = 1, b = 2;  // byte offsets within a 4-byte pixel
  switch (format.format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      r = 2, g = 1, b = 0;
      break;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      break;
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
      r = 1, g = 2, b = 3;
      break;
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
      r = 3, g = 2, b = 1;
      break;
    default:
      return false;
  }
  image.width = static_cast<int>(format.size.width);
  image.height = static_cast<int>(format.size.height);
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* row = pixels + static_cast<size_t>(stride) * y;
    uint8_t* out = image.rgb.data() + static_cast<size_t>(image.width) * 3 * y;
    for (int x = 0; x < image.width; ++x) {
      out[3 * x] = row[4 * x + r];
      out[3 * x + 1] = row[4 * x + g];
      out[3 * x + 2] = row[4 * x + b];
    }
  }
  return true;
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
  Capture& c = *static_cast<Capture*>(data);
  if (param == nullptr || id != SPA_PARAM_Format) return;
  c.formatKnown = spa_format_video_raw_parse(param, &c.format) >= 0 && c.format.size.width > 0 &&
                  c.format.size.height > 0;
  // Buffers the process can read: memory it maps, not the GPU's.
  uint8_t buffer[256];
  spa_pod_builder builder;
  spa_pod_builder_init(&builder, buffer, sizeof buffer);
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_dataType, 0);
  spa_pod_builder_int(&builder, (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd));
  const spa_pod* buffers = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
  c.pw->pw_stream_update_params(c.stream, &buffers, 1);
}

void onProcess(void* data) {
  Capture& c = *static_cast<Capture*>(data);
  pw_buffer* b = c.pw->pw_stream_dequeue_buffer(c.stream);
  if (b == nullptr) return;
  const spa_buffer* buf = b->buffer;
  if (!c.done && c.formatKnown && buf->n_datas > 0 && buf->datas[0].data != nullptr &&
      buf->datas[0].chunk != nullptr && buf->datas[0].chunk->size > 0) {
    const spa_data& d = buf->datas[0];
    const uint32_t stride =
        d.chunk->stride > 0 ? static_cast<uint32_t>(d.chunk->stride) : c.format.size.width * 4;
    const uint64_t needed = static_cast<uint64_t>(stride) * c.format.size.height;
    if (d.chunk->offset + needed <= d.maxsize &&
        toRgb(static_cast<const uint8_t*>(d.data) + d.chunk->offset, stride, c.format, *c.image)) {
      c.done = true;
      c.pw->pw_thread_loop_signal(c.loop, false);
    }
  }
  c.pw->pw_stream_queue_buffer(c.stream, b);
}

// The stream's first frame with pixels.
bool readFrame(const PipeWireApi& pw, uint32_t node, RgbImage& image,
               std::chrono::steady_clock::time_point deadline) {
  pw.pw_init(nullptr, nullptr);
  pw.pw_log_set_level(SPA_LOG_LEVEL_NONE);
  Capture c;
  c.pw = &pw;
  c.image = &image;
  c.loop = pw.pw_thread_loop_new("diruri-screen-cast", nullptr);
  if (c.loop == nullptr) return false;
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.param_changed = onParamChanged;
  events.process = onProcess;
  bool ok = false;
  if (pw.pw_thread_loop_start(c.loop) == 0) {
    pw.pw_thread_loop_lock(c.loop);
    c.stream = pw.pw_stream_new_simple(pw.pw_thread_loop_get_loop(c.loop), "diruri-screenshot",
                                       pw.pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr),
                                       &events, &c);
    if (c.stream != nullptr) {
      uint8_t buffer[1024];
      spa_pod_builder builder;
      spa_pod_builder_init(&builder, buffer, sizeof buffer);
      spa_pod_frame object, choice;
      spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
      spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
      spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
      spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
      spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
      spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
      spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
      for (const uint32_t format : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                    SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB,
                                    SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR})
        spa_pod_builder_id(&builder, format);
      spa_pod_builder_pop(&builder, &choice);
      spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
      spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
      spa_pod_builder_rectangle(&builder, 1920, 1080);
      spa_pod_builder_rectangle(&builder, 1, 1);
      spa_pod_builder_rectangle(&builder, 16384, 16384);
      spa_pod_builder_pop(&builder, &choice);
      spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
      spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
      spa_pod_builder_fraction(&builder, 30, 1);
      spa_pod_builder_fraction(&builder, 0, 1);
      spa_pod_builder_fraction(&builder, 1000, 1);
      spa_pod_builder_pop(&builder, &choice);
      const spa_pod* format = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
      if (pw.pw_stream_connect(
              c.stream, PW_DIRECTION_INPUT, node,
              static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), &format,
              1) == 0) {
        while (!c.done && std::chrono::steady_clock::now() < deadline)
          pw.pw_thread_loop_timed_wait(c.loop, 1);
      }
      ok = c.done;
      pw.pw_stream_destroy(c.stream);
    }
    pw.pw_thread_loop_unlock(c.loop);
    pw.pw_thread_loop_stop(c.loop);
  }
  pw.pw_thread_loop_destroy(c.loop);
  return ok;
}

}  // namespace

bool screenCastOffered() {
  if (dbusApi() == nullptr) return false;
  SigpipeGuard guard;
  // A loaded machine answers a bus question slowly; an absent service answers at once.
  const Budget budget(std::chrono::milliseconds(1500));
  const std::optional<std::string> address = sessionBusAddress();
  PrivateConnection bus = address ? connectTo(*address, budget) : nullptr;
  if (!bus) return false;
  return replyBasic<dbus_bool_t>(call(bus.get(), DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                      "NameHasOwner", {kScreenCast}, budget),
                                 DBUS_TYPE_BOOLEAN)
      .value_or(false);
}

bool castMonitorFrame(RgbImage& image, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  const PipeWireApi* pw = pipeWire();
  if (dbusApi() == nullptr || pw == nullptr) return false;
  SigpipeGuard guard;
  const Budget budget(deadline);
  const std::optional<std::string> address = sessionBusAddress();
  PrivateConnection bus = address ? connectTo(*address, budget) : nullptr;
  if (!bus) return false;
  const std::optional<std::string> session =
      replyText(callWith(bus.get(), kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession",
                         budget, emptyOptions),
                DBUS_TYPE_OBJECT_PATH);
  if (!session) return false;
  const std::optional<std::string> stream = replyText(
      callWith(bus.get(), kScreenCast, session->c_str(), kCastSession, "RecordMonitor", budget,
               [](DBusMessageIter& args) {
                 const char* primary = "";
                 return libdbus().dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &primary) &&
                        emptyOptions(args);
               }),
      DBUS_TYPE_OBJECT_PATH);
  bool ok = false;
  if (stream) {
    if (const std::optional<uint32_t> node = startRecording(bus.get(), *session, *stream, budget))
      ok = readFrame(*pw, *node, image, deadline);
  }
  callWith(bus.get(), kScreenCast, session->c_str(), kCastSession, "Stop",
           Budget(std::chrono::milliseconds(500)), [](DBusMessageIter&) { return true; });
  return ok;
}

}  // namespace diruri
