// The virtual devices, the keymap made for the keysyms a replay posts, and the releases at its end.
#include "core/wayland/wayland_event_poster.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <thread>
#include <vector>

#include "core/wayland/wayland_dispatch.hpp"
#include "virtual_input-client-protocol.h"

namespace diruri {

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kAnswerWait{2000};
constexpr std::chrono::milliseconds kSettle{200};
constexpr uint32_t kFirstKeyCode = 9;  // XKB key codes; the protocol's are 8 less (evdev)
constexpr uint32_t kLastKeyCode = 255;
constexpr uint32_t kKeymapFormatXkbV1 = 1;
constexpr int kWheelStep = 15;  // what a wheel notch scrolls, in the pointer's axis units

// The modifier each modifier keysym sets in the keymap.
const char* modifierOf(uint32_t keysym) {
  switch (keysym) {
    case 0xffe1:
    case 0xffe2:
      return "Shift";
    case 0xffe3:
    case 0xffe4:
      return "Control";
    case 0xffe9:
    case 0xffea:
    case 0xffe7:
    case 0xffe8:
      return "Mod1";
    case 0xffeb:
    case 0xffec:
      return "Mod4";
    default:
      return nullptr;
  }
}

uint32_t now() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now().time_since_epoch()).count());
}

}  // namespace

struct WaylandEventPoster::Session {
  wl_display* display = nullptr;
  wl_seat* seat = nullptr;
  wl_output* output = nullptr;
  zwp_virtual_keyboard_manager_v1* keyboards = nullptr;
  zwlr_virtual_pointer_manager_v1* pointers = nullptr;
  zwp_virtual_keyboard_v1* keyboard = nullptr;
  zwlr_virtual_pointer_v1* pointer = nullptr;
  int32_t width = 0, height = 0;  // the first output's current mode
  bool listed = false;
  std::map<uint32_t, uint32_t> keyOfKeysym;  // keysym -> XKB key code
  std::map<int64_t, uint32_t> pressed;       // the replay's key -> the XKB key code it went to
  std::set<uint32_t> buttonsDown;            // Linux button codes
  bool broken = false;

  ~Session() {
    if (keyboard != nullptr) zwp_virtual_keyboard_v1_destroy(keyboard);
    if (pointer != nullptr) zwlr_virtual_pointer_v1_destroy(pointer);
    if (pointers != nullptr) zwlr_virtual_pointer_manager_v1_destroy(pointers);
    if (keyboards != nullptr) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(keyboards));
    if (output != nullptr) wl_output_destroy(output);
    if (seat != nullptr) wl_seat_destroy(seat);
    if (display != nullptr) {
      wl_display_flush(display);
      wl_display_disconnect(display);
    }
  }

  // Everything sent so far has been handled by the compositor.
  bool roundTrip() {
    bool done = false;
    wl_callback* callback = wl_display_sync(display);
    static constexpr wl_callback_listener kDone = {
        [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(callback, &kDone, &done);
    const bool answered = dispatchUntil(
        display, [&] { return done; }, SteadyClock::now() + kAnswerWait);
    wl_callback_destroy(callback);
    if (!answered) broken = true;
    return answered;
  }
};

namespace {

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  auto& s = *static_cast<WaylandEventPoster::Session*>(data);
  const std::string_view is = interface != nullptr ? interface : "";
  if (is == wl_seat_interface.name && s.seat == nullptr) {
    s.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (is == wl_output_interface.name && s.output == nullptr) {
    s.output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
  } else if (is == zwp_virtual_keyboard_manager_v1_interface.name && s.keyboards == nullptr) {
    s.keyboards = static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
  } else if (is == zwlr_virtual_pointer_manager_v1_interface.name && s.pointers == nullptr) {
    s.pointers = static_cast<zwlr_virtual_pointer_manager_v1*>(wl_registry_bind(
        registry, name, &zwlr_virtual_pointer_manager_v1_interface, std::min<uint32_t>(version, 2)));
  }
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
constexpr wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};

void onGeometry(void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
                int32_t) {}
void onMode(void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
  auto& s = *static_cast<WaylandEventPoster::Session*>(data);
  if (flags & WL_OUTPUT_MODE_CURRENT) {
    s.width = width;
    s.height = height;
  }
}
void onOutputDone(void*, wl_output*) {}
void onScale(void*, wl_output*, int32_t) {}
void onName(void*, wl_output*, const char*) {}
void onDescription(void*, wl_output*, const char*) {}
constexpr wl_output_listener kOutputListener = {onGeometry, onMode, onOutputDone,
                                                onScale,    onName, onDescription};

}  // namespace

WaylandEventPoster::WaylandEventPoster() = default;
WaylandEventPoster::~WaylandEventPoster() { end(); }

bool WaylandEventPoster::begin() {
  end();
  auto s = std::make_unique<Session>();
  s->display = wl_display_connect(nullptr);
  if (s->display == nullptr) return false;
  if (!listGlobals(s->display, kRegistryListener, s.get(), SteadyClock::now() + kAnswerWait) ||
      s->seat == nullptr || s->output == nullptr || s->keyboards == nullptr || s->pointers == nullptr) {
    return false;
  }
  wl_output_add_listener(s->output, &kOutputListener, s.get());
  s->keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(s->keyboards, s->seat);
  s->pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(s->pointers, s->seat);
  session_ = std::move(s);
  // The keyboard takes no key before its keymap; the output's size comes with the round trip.
  if (!sendKeymap() || !session_->roundTrip() || session_->width <= 0 || session_->height <= 0) {
    session_.reset();
    return false;
  }
  // A new keyboard gives the seat a keyboard, and the focused application then has to take up its
  // own and be told it has the focus before it sees a key; nothing tells this client when it has.
  std::this_thread::sleep_for(kSettle);
  return session_->roundTrip();
}

bool WaylandEventPoster::sendKeymap() {
  Session& s = *session_;
  std::string symbols;
  std::map<std::string, std::string> modifiers;
  for (const auto& [keysym, code] : s.keyOfKeysym) {
    char line[64];
    std::snprintf(line, sizeof line, "key <K%u> { [ 0x%x ] };\n", code, keysym);
    symbols += line;
    if (const char* modifier = modifierOf(keysym)) modifiers[modifier] += "<K" + std::to_string(code) + ">, ";
  }
  for (auto& [modifier, keys] : modifiers) {
    keys.resize(keys.size() - 2);
    symbols += "modifier_map " + modifier + " { " + keys + " };\n";
  }
  std::string keycodes;
  for (uint32_t code = 8; code <= kLastKeyCode; ++code)
    keycodes += "<K" + std::to_string(code) + "> = " + std::to_string(code) + ";\n";
  const std::string keymap = "xkb_keymap {\nxkb_keycodes \"diruri\" {\nminimum = 8;\nmaximum = 255;\n" +
                             keycodes +
                             "};\nxkb_types \"diruri\" { include \"complete\" };\n"
                             "xkb_compat \"diruri\" { include \"complete\" };\n"
                             "xkb_symbols \"diruri\" {\n" +
                             symbols + "};\n};\n";
  const int fd = ::memfd_create("diruri-keymap", MFD_CLOEXEC);
  if (fd < 0) return false;
  const size_t size = keymap.size() + 1;  // with its terminating NUL
  const bool written = ::write(fd, keymap.c_str(), size) == static_cast<ssize_t>(size);
  if (written)
    zwp_virtual_keyboard_v1_keymap(s.keyboard, kKeymapFormatXkbV1, fd, static_cast<uint32_t>(size));
  ::close(fd);
  return written;
}

PostResult WaylandEventPoster::postMove(double x, double y) {
  if (!session_ || session_->broken) return PostResult::Unreachable;
  Session& s = *session_;
  if (!(x >= 0 && y >= 0 && x < s.width && y < s.height)) return PostResult::Inexpressible;
  zwlr_virtual_pointer_v1_motion_absolute(s.pointer, now(), static_cast<uint32_t>(std::lround(x)),
                                          static_cast<uint32_t>(std::lround(y)),
                                          static_cast<uint32_t>(s.width), static_cast<uint32_t>(s.height));
  zwlr_virtual_pointer_v1_frame(s.pointer);
  return wl_display_flush(s.display) < 0 ? PostResult::Unreachable : PostResult::Posted;
}

PostResult WaylandEventPoster::postMouse(double x, double y, bool down, int64_t button) {
  const uint32_t code = linuxButtonCode(button);
  if (code == 0) return PostResult::Inexpressible;
  const PostResult moved = postMove(x, y);
  if (moved != PostResult::Posted) return moved;
  Session& s = *session_;
  zwlr_virtual_pointer_v1_button(s.pointer, now(), code,
                                 down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(s.pointer);
  if (down) {
    s.buttonsDown.insert(code);
  } else {
    s.buttonsDown.erase(code);
  }
  return wl_display_flush(s.display) < 0 ? PostResult::Unreachable : PostResult::Posted;
}

PostResult WaylandEventPoster::postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) {
  if (!session_ || session_->broken) return PostResult::Unreachable;
  Session& s = *session_;
  uint32_t code = 0;
  if (!down) {
    const auto it = s.pressed.find(keyCode);
    if (it == s.pressed.end()) return PostResult::Posted;  // its press was never posted
    code = it->second;
    s.pressed.erase(it);
  } else {
    if (!keysym || *keysym <= 0 || *keysym > 0x1fffffff) return PostResult::Inexpressible;
    const uint32_t wanted = static_cast<uint32_t>(*keysym);
    auto it = s.keyOfKeysym.find(wanted);
    if (it == s.keyOfKeysym.end()) {
      const uint32_t next = kFirstKeyCode + static_cast<uint32_t>(s.keyOfKeysym.size());
      if (next > kLastKeyCode) return PostResult::Inexpressible;
      it = s.keyOfKeysym.emplace(wanted, next).first;
      if (!sendKeymap()) return PostResult::Unreachable;
    }
    code = it->second;
    s.pressed[keyCode] = code;
  }
  zwp_virtual_keyboard_v1_key(s.keyboard, now(), code - 8,
                              down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  return wl_display_flush(s.display) < 0 ? PostResult::Unreachable : PostResult::Posted;
}

PostResult WaylandEventPoster::postScroll(int64_t amount, bool sideways) {
  if (!session_ || session_->broken) return PostResult::Unreachable;
  if (amount < -1000 || amount > 1000) return PostResult::Inexpressible;
  Session& s = *session_;
  // Positive is up (left) here; on the axes positive is down (right).
  const int32_t steps = static_cast<int32_t>(-amount);
  zwlr_virtual_pointer_v1_axis_source(s.pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
  zwlr_virtual_pointer_v1_axis_discrete(
      s.pointer, now(), sideways ? WL_POINTER_AXIS_HORIZONTAL_SCROLL : WL_POINTER_AXIS_VERTICAL_SCROLL,
      wl_fixed_from_int(steps * kWheelStep), steps);
  zwlr_virtual_pointer_v1_frame(s.pointer);
  return wl_display_flush(s.display) < 0 ? PostResult::Unreachable : PostResult::Posted;
}

void WaylandEventPoster::sync() {
  if (session_ && !session_->broken) session_->roundTrip();
}

void WaylandEventPoster::end() {
  if (!session_) return;
  Session& s = *session_;
  if (!s.broken) {
    for (const auto& [key, code] : s.pressed)
      zwp_virtual_keyboard_v1_key(s.keyboard, now(), code - 8, WL_KEYBOARD_KEY_STATE_RELEASED);
    for (const uint32_t code : s.buttonsDown) {
      zwlr_virtual_pointer_v1_button(s.pointer, now(), code, WL_POINTER_BUTTON_STATE_RELEASED);
      zwlr_virtual_pointer_v1_frame(s.pointer);
    }
    s.roundTrip();
  }
  session_.reset();
}

}  // namespace diruri
