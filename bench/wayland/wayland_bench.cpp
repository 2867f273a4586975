// An accessible application waits, for each key, until the registry has told every keystroke
// listener and heard back. The recorder logs a key before it answers (so that the focus the key
// moves comes after it in the log), so each key of the person's is delayed by the recorder's
// handling: the front window asked of the compositor and a line appended to the log. This
// benchmark is that application: it sends the registry the notifications a toolkit sends for a key
// press and release and times the answers, without a recorder (argument 0) and with the recording
// running through the real controller (argument 1). It also counts keys the log lacks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/atspi/atspi_bus.hpp"
#include "core/atspi/atspi_meaning_recorder.hpp"
#include "core/platform/clock.hpp"
#include "core/recorder/recorder_controller.hpp"
#include "core/store/event_store.hpp"
#include "core/wayland/wayland_front_window.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/headless_sway.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using namespace atspi_bus;
using namespace dbus;
using Clock = std::chrono::steady_clock;

// Headless sway with the tests' GTK application in front, and a private accessibility bus.
struct Session {
  test::HeadlessSway sway;
  test::TempDir busDir;
  test::AccessibilityBus bus;
  test::FixtureApp app;
  bool ok = false;

  Session() {
    if (!sway.start().empty() || !bus.start(busDir.path(), true).empty()) return;
    ::setenv("XDG_RUNTIME_DIR", sway.runtimeDir().c_str(), 1);
    ::setenv("WAYLAND_DISPLAY", sway.waylandDisplay().c_str(), 1);
    ::setenv("SWAYSOCK", sway.swaySocket().c_str(), 1);
    ::setenv("GDK_BACKEND", "wayland", 1);
    ::setenv("FIXTURE_NO_KEYBOARD", "1", 1);
    ::unsetenv("DISPLAY");
    ok = app.start("Bench").empty();
  }
};

Session& session() {
  // Registered first, so that it runs after the session's own end: the daemons it detached.
  static const int ended = std::atexit([] { test::endAllChildren(); });
  (void)ended;
  static Session s;
  return s;
}

// One key notification as a toolkit sends it (key code and modifiers as 16-bit numbers: the registry
// here takes no other form), answered by the registry once its listeners have.
bool notify(DBusConnection* bus, bool press) {
  Message ask(libdbus().dbus_message_new_method_call(
      "org.a11y.atspi.Registry", "/org/a11y/atspi/registry/deviceeventcontroller",
      "org.a11y.atspi.DeviceEventController", "NotifyListenersSync"));
  if (!ask) return false;
  DBusMessageIter args, event;
  libdbus().dbus_message_iter_init_append(ask.get(), &args);
  const dbus_uint32_t type = press ? 0 : 1;
  const dbus_int16_t code = 38, modifiers = 0;
  const dbus_int32_t keysym = 'a', time = 0;
  const char* text = "a";
  const dbus_bool_t isText = TRUE;
  if (!libdbus().dbus_message_iter_open_container(&args, DBUS_TYPE_STRUCT, nullptr, &event) ||
      !libdbus().dbus_message_iter_append_basic(&event, DBUS_TYPE_UINT32, &type) ||
      !libdbus().dbus_message_iter_append_basic(&event, DBUS_TYPE_INT32, &keysym) ||
      !libdbus().dbus_message_iter_append_basic(&event, DBUS_TYPE_INT16, &code) ||
      !libdbus().dbus_message_iter_append_basic(&event, DBUS_TYPE_INT16, &modifiers) ||
      !libdbus().dbus_message_iter_append_basic(&event, DBUS_TYPE_INT32, &time) ||
      !libdbus().dbus_message_iter_append_basic(&event, DBUS_TYPE_STRING, &text) ||
      !libdbus().dbus_message_iter_append_basic(&event, DBUS_TYPE_BOOLEAN, &isText) ||
      !libdbus().dbus_message_iter_close_container(&args, &event)) {
    return false;
  }
  DBusError error;
  libdbus().dbus_error_init(&error);
  Message reply(libdbus().dbus_connection_send_with_reply_and_block(bus, ask.get(), 5000, &error));
  libdbus().dbus_error_free(&error);
  return reply && libdbus().dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

void BM_KeyNotificationRoundTrip(benchmark::State& state) {
  Session& s = session();
  if (!s.ok || atspiApi() == nullptr) return state.SkipWithError("no Wayland session");
  const Budget budget(std::chrono::seconds(5));
  const std::optional<std::string> address = accessibilityBusAddress(DisplayBusAddress{}, budget);
  PrivateConnection bus = address ? connectTo(*address, budget) : nullptr;
  if (!bus) return state.SkipWithError("no accessibility bus");

  const bool recording = state.range(0) == 1;
  constexpr size_t kKeys = 1000;
  test::TempDir workspace;
  EventStore store(test::realFileSystem());
  WaylandFrontWindow windows;
  AtspiMeaningRecorder recorder(windows, DisplayBusAddress{});
  test::FakeScreenCapture screen;
  test::NullPoster poster;
  AccessibilityInspector inspector(systemClock(), std::make_unique<WaylandFrontWindow>(),
                                   AccessibilityInspector::Extents::kWindow, DisplayBusAddress{});
  std::vector<double> micros;
  double lost = 0;
  for (auto _ : state) {
    RecorderController controller(store, recorder, screen, inspector);
    std::string sessionPath;
    if (recording) {
      const RecorderStartResult started = controller.start(workspace.path(), "bench");
      if (!started.inputCaptureActive) return state.SkipWithError("the recorder did not start");
      sessionPath = started.sessionPath;
    }
    for (size_t i = 0; i < 2 * kKeys; ++i) {
      const auto sent = Clock::now();
      if (!notify(bus.get(), i % 2 == 0)) return state.SkipWithError("the registry did not answer");
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    if (recording) {
      controller.stop(std::nullopt, std::nullopt);
      size_t logged = 0;
      for (const JsonValue& line : test::readJsonLines(sessionPath + "/events.jsonl"))
        logged += line.findString("type")->rfind("key_", 0) == 0;
      lost += static_cast<double>(2 * kKeys) - static_cast<double>(logged);
    }
  }
  state.counters["keys"] = static_cast<double>(2 * kKeys);
  state.counters["lost"] = lost;
  state.counters["median_us"] = percentile(micros, 0.5);
  state.counters["p99_us"] = percentile(micros, 0.99);
  state.counters["max_us"] = percentile(micros, 1.0);
}
BENCHMARK(BM_KeyNotificationRoundTrip)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

}  // namespace
}  // namespace diruri

BENCHMARK_MAIN();
