// Capture, replay and screenshot speed on a private Xvfb, each beside the tool it is measured
// against.
//
// Run: build-x11/bench/x11/bench_x11 (needs Xvfb, openbox, xdotool and scrot; see
// scripts/setup.sh).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <map>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/capture/helper_screen_capture.hpp"
#include "core/json/json_value.hpp"
#include "core/mcp/default_graph.hpp"
#include "core/recorder/recorder_controller.hpp"
#include "core/records/observation.hpp"
#include "core/replay/semantic_replayer.hpp"
#include "core/x11/x11_event_poster.hpp"
#include "core/x11/x11_input_recorder.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/x11_inspector.hpp"
#include "tests/support/x11_test_display.hpp"

namespace diruri {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A display kept for the whole run: Xvfb, openbox if asked for, and a front window with a few
// coloured ones behind it, so that the screen is not one flat colour.
struct Desktop {
  test::XvfbServer server;
  std::unique_ptr<test::TestClient> client;
  xcb_window_t window = XCB_WINDOW_NONE;
  bool ok = false;

  explicit Desktop(bool windowManager) {
    if (!server.start().empty() || (windowManager && !server.startOpenbox())) return;
    client = std::make_unique<test::TestClient>(server.display());
    xcb_connection_t* c = client->conn();
    const uint32_t colours[] = {0x3465a4, 0xcc0000, 0x73d216, 0xedd400, 0x75507b};
    for (int i = 0; i < 5; ++i) {
      const xcb_window_t w = xcb_generate_id(c);
      xcb_create_window(c, XCB_COPY_FROM_PARENT, w, client->root(), static_cast<int16_t>(200 + 250 * i),
                        static_cast<int16_t>(150 + 120 * i), 700, 500, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                        XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL, &colours[i]);
      xcb_map_window(c, w);
    }
    window = client->createWindow(test::WindowProps()
                                      .withClass("bench", "Benchwindow")
                                      .withNetWmName("Capture target")
                                      .withPid(static_cast<uint32_t>(getpid())));
    if (windowManager) {
      ok = client->activate(window);
    } else {
      client->focus(window);
      ok = true;
    }
  }
};

// The components find their display through $DISPLAY, so each benchmark points it at its own.
Desktop& desktop(bool windowManager = true) {
  static Desktop managed(true);
  static Desktop bare(false);
  Desktop& d = windowManager ? managed : bare;
  ::setenv("DISPLAY", d.server.display().c_str(), 1);
  return d;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

// The capture source with the time each call of the handler takes on its thread, by event type.
class TimedTap final : public InputEventRecording {
 public:
  bool canObserveInput() override { return inner_.canObserveInput(); }
  bool start(Handler onEvent) override {
    return inner_.start([this, onEvent = std::move(onEvent)](const CapturedInputEvent& e) {
      const auto t0 = Clock::now();
      onEvent(e);
      const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
      std::lock_guard<std::mutex> lock(mutex_);
      costs[std::string(eventTypeName(e.type))].push_back(us);
      ++received;
      arrived_.notify_all();
    });
  }
  void stop() override { inner_.stop(); }
  bool isRunning() override { return inner_.isRunning(); }
  std::optional<PointerMotion::Sighting> pointerSighting() override { return inner_.pointerSighting(); }

  // Until `count` events came, or none came for two seconds.
  void waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t before = received; received < count; before = received) {
      arrived_.wait_for(lock, 2s, [&] { return received >= count; });
      if (received == before) return;
    }
  }

  std::map<std::string, std::vector<double>> costs;  // read once stopped
  size_t received = 0;

 private:
  X11InputRecorder inner_{x11DisplayName};
  std::mutex mutex_;
  std::condition_variable arrived_;
};

class NoScreen final : public ScreenCapturing {
 public:
  bool canCaptureScreen() override { return false; }
  ScreenCaptureResult capturePNG(const std::string& path) override { return {path, false}; }
};

class NoPoster final : public EventPoster {
 public:
  bool begin() override { return false; }
  PostResult postMouse(double, double, bool, int64_t) override { return PostResult::Unreachable; }
  PostResult postMove(double, double) override { return PostResult::Unreachable; }
  PostResult postKey(int64_t, std::optional<int64_t>, bool) override { return PostResult::Unreachable; }
  PostResult postScroll(int64_t, bool) override { return PostResult::Unreachable; }
  void sync() override {}
  void end() override {}
};

// Argument 1: an accessible desktop (session bus, accessibility bus) with the tests' GTK
// application, whose button every click lands on, so that each click's element is looked up.
struct AccessibleTarget {
  test::AccessibleDesktop desktop;
  test::FixtureApp app;
  std::vector<int> button;
  bool ok = false;
  AccessibleTarget() {
    if (!desktop.start().empty() || !app.start("Capture target").empty()) return;
    button = app.where("Send");
    ok = button[2] > 0;
  }
};

// One for the whole run, kept: the accessibility library stays on the first bus it finds.
AccessibleTarget& accessibleTarget() {
  static AccessibleTarget* target = new AccessibleTarget;
  return *target;
}

// 5,000 key press/release pairs and 1,000 clicks, posted by XTest from another connection at
// about 10,000 recorded events per second, into a recording of the real controller: front
// application, element lookup for each click, log append. Reports the events the server did not
// deliver to the recorder ("undelivered": its input queue overflows when a GTK application redraws
// under a thousand clicks a second), those delivered but not logged ("lost"), each type's handler
// cost on the capture thread, and how many clicks got their element within the lookup budget.
void BM_CaptureAtTenThousandEventsPerSecond(benchmark::State& state) {
  const bool accessible = state.range(0) == 1;
  AccessibleTarget* target = nullptr;
  std::string display;
  int clickX = 0, clickY = 0;
  if (accessible) {
    target = &accessibleTarget();
    if (!target->ok) return state.SkipWithError("no accessible desktop");
    display = target->desktop.display();
    clickX = target->button[0] + target->button[2] / 2;
    clickY = target->button[1] + target->button[3] / 2;
    ::setenv("DISPLAY", display.c_str(), 1);
  } else {
    Desktop& d = desktop();
    if (!d.ok) return state.SkipWithError("no display");
    display = d.server.display();
  }
  test::TempDir dir;
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  EventStore store(test::realFileSystem());
  NoScreen screen;
  NoPoster poster;
  test::TestClient input(display);

  constexpr size_t kKeyPairs = 5000, kClicks = 1000;
  constexpr size_t kExpected = 2 * kKeyPairs + 2 * kClicks;
  double lost = 0, undelivered = 0, targets = 0;
  std::map<std::string, std::vector<double>> costs;
  for (auto _ : state) {
    TimedTap tap;
    RecorderController controller(store, tap, screen, inspector);
    const RecorderStartResult started = controller.start(dir.path(), "bench");
    if (!started.inputCaptureActive) return state.SkipWithError("capture did not start");

    // Batches of 50 recorded events every 5 ms.
    size_t posted = 0;
    auto slot = Clock::now();
    auto pace = [&](size_t events) {
      posted += events;
      if (posted % 50 < events) {
        input.sync();
        slot += 5ms;
        std::this_thread::sleep_until(slot);
      }
    };
    for (size_t i = 0; i < kKeyPairs; ++i) {
      const auto code = static_cast<uint8_t>(24 + i % 10);  // q..p: letters only, no shortcuts
      input.fake(XCB_KEY_PRESS, code);
      input.fake(XCB_KEY_RELEASE, code);
      pace(2);
      if (i % 5 == 4) {
        const auto x =
            static_cast<int16_t>(accessible ? clickX - 10 + static_cast<int>(i % 20) : 20 + i % 250);
        const auto y = static_cast<int16_t>(accessible ? clickY : 40 + static_cast<int>(i % 150));
        input.fake(XCB_MOTION_NOTIFY, 0, x, y);
        input.fake(XCB_BUTTON_PRESS, 1);
        input.fake(XCB_BUTTON_RELEASE, 1);
        pace(2);
      }
    }
    input.sync();
    tap.waitFor(kExpected);
    controller.stop(std::nullopt, std::nullopt);
    size_t logged = 0;
    for (const JsonValue& line : test::readJsonLines(started.sessionPath + "/events.jsonl")) {
      const std::string type = *line.findString("type");
      if (type.rfind("mouse_", 0) != 0 && type.rfind("key_", 0) != 0) continue;
      ++logged;
      targets += line.find("payload")->find("target") != nullptr;
    }
    undelivered += static_cast<double>(kExpected) - static_cast<double>(tap.received);
    lost += static_cast<double>(tap.received) - static_cast<double>(logged);
    for (auto& [type, times] : tap.costs) costs[type].insert(costs[type].end(), times.begin(), times.end());
  }
  state.counters["events"] = static_cast<double>(kExpected);
  state.counters["lost"] = lost;
  state.counters["undelivered"] = undelivered;
  state.counters["clicks_with_element"] = targets / static_cast<double>(state.iterations());
  state.counters["click_handler_median_us"] = percentile(costs["mouse_down"], 0.5);
  state.counters["click_handler_p99_us"] = percentile(costs["mouse_down"], 0.99);
  state.counters["key_handler_median_us"] = percentile(costs["key_down"], 0.5);
  state.counters["key_handler_p99_us"] = percentile(costs["key_down"], 0.99);
}
BENCHMARK(BM_CaptureAtTenThousandEventsPerSecond)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

// Drags: a button held while the pointer moves at 1,000 motion events per second (2 px each, round
// a circle), five drags of a second each, into a recording of the real controller. Reports the
// moves the log keeps per second of drag and their bytes, the events handed to the controller but
// not logged ("lost"), and the handler's cost on the capture thread for a move and a press.
void BM_CaptureDragsAtAThousandMovesPerSecond(benchmark::State& state) {
  Desktop& d = desktop();
  if (!d.ok) return state.SkipWithError("no display");
  test::TempDir dir;
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  EventStore store(test::realFileSystem());
  NoScreen screen;
  test::TestClient input(d.server.display());
  constexpr int kDrags = 5, kMovesPerDrag = 1000;
  double lost = 0, keptMoves = 0, moveBytes = 0;
  std::map<std::string, std::vector<double>> costs;
  for (auto _ : state) {
    TimedTap tap;
    RecorderController controller(store, tap, screen, inspector);
    const RecorderStartResult started = controller.start(dir.path(), "drags");
    if (!started.inputCaptureActive) return state.SkipWithError("capture did not start");
    for (int drag = 0; drag < kDrags; ++drag) {
      const auto at = [](int step) {
        const double angle = step * 2.0 / 300;  // 2 px along a circle of radius 300 per step
        return std::pair{static_cast<int16_t>(600 + 300 * std::cos(angle)),
                         static_cast<int16_t>(500 + 300 * std::sin(angle))};
      };
      input.fake(XCB_MOTION_NOTIFY, 0, at(0).first, at(0).second);
      input.fake(XCB_BUTTON_PRESS, 1);
      auto slot = Clock::now();
      for (int step = 1; step <= kMovesPerDrag; ++step) {
        input.fake(XCB_MOTION_NOTIFY, 0, at(step).first, at(step).second);
        if (step % 10 == 0) {  // ten a batch, every 10 ms
          input.sync();
          slot += 10ms;
          std::this_thread::sleep_until(slot);
        }
      }
      input.fake(XCB_BUTTON_RELEASE, 1);
      input.sync();
    }
    std::this_thread::sleep_for(200ms);
    controller.stop(std::nullopt, std::nullopt);
    size_t logged = 0;
    std::ifstream log(started.sessionPath + "/events.jsonl");
    for (std::string text; std::getline(log, text);) {
      const JsonValue line = parseJson(text);
      const std::string type = *line.findString("type");
      if (type.rfind("mouse_", 0) != 0) continue;
      ++logged;
      if (type == "mouse_move") {
        keptMoves += 1;
        moveBytes += static_cast<double>(text.size() + 1);
      }
    }
    lost += static_cast<double>(tap.received) - static_cast<double>(logged);
    for (auto& [type, times] : tap.costs) costs[type].insert(costs[type].end(), times.begin(), times.end());
  }
  const double dragSeconds = kDrags * static_cast<double>(state.iterations());
  state.counters["lost"] = lost;
  state.counters["moves_logged_per_s"] = keptMoves / dragSeconds;
  state.counters["log_bytes_per_s"] = moveBytes / dragSeconds;
  state.counters["move_handler_median_us"] = percentile(costs["mouse_move"], 0.5);
  state.counters["move_handler_p99_us"] = percentile(costs["mouse_move"], 0.99);
  state.counters["press_handler_median_us"] = percentile(costs["mouse_down"], 0.5);
}
BENCHMARK(BM_CaptureDragsAtAThousandMovesPerSecond)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

void BM_ForegroundSnapshot(benchmark::State& state) {
  Desktop& d = desktop();
  if (!d.ok) return state.SkipWithError("no display");
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  std::vector<double> costs;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(inspector.foregroundSnapshot());
    costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  state.counters["median_us"] = percentile(costs, 0.5);
  state.counters["p99_us"] = percentile(costs, 0.99);
}
BENCHMARK(BM_ForegroundSnapshot)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The floor under the query above: one bare round trip to the server.
void BM_RoundTrip(benchmark::State& state) {
  Desktop& d = desktop();
  if (!d.ok) return state.SkipWithError("no display");
  test::TestClient client(d.server.display());
  std::vector<double> costs;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    client.sync();
    costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  state.counters["median_us"] = percentile(costs, 0.5);
}
BENCHMARK(BM_RoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// 10,000 replayed events: 2,500 times a click (down, up) inside the window and a key (down, up).
// Argument 1: under openbox, whose click-to-focus grab makes the server wait for it on every
// click; 0: a bare server.
struct ReplayEvent {
  enum Kind { MouseDown, MouseUp, KeyDown, KeyUp } kind;
  int x = 0, y = 0;
  int key = 0;  // index into kKeys
};
constexpr const char* kKeys[] = {"q", "w", "e", "r", "t", "y", "u", "i", "o", "p"};

std::vector<ReplayEvent> replayEvents() {
  std::vector<ReplayEvent> events;
  for (int i = 0; i < 2500; ++i) {
    const int x = 20 + i % 250, y = 40 + i % 150, k = i % 10;
    events.push_back({ReplayEvent::MouseDown, x, y, 0});
    events.push_back({ReplayEvent::MouseUp, x, y, 0});
    events.push_back({ReplayEvent::KeyDown, 0, 0, k});
    events.push_back({ReplayEvent::KeyUp, 0, 0, k});
  }
  return events;
}

void BM_ReplayX11EventPoster(benchmark::State& state) {
  Desktop& d = desktop(state.range(0) != 0);
  if (!d.ok) return state.SkipWithError("no display");
  const auto events = replayEvents();
  int codes[10];
  for (int k = 0; k < 10; ++k) codes[k] = d.client->keycodeFor(static_cast<uint32_t>(kKeys[k][0]));
  for (auto _ : state) {
    X11EventPoster poster;
    if (!poster.begin()) return state.SkipWithError("no XTest");
    for (const ReplayEvent& e : events) {
      switch (e.kind) {
        case ReplayEvent::MouseDown:
          poster.postMouse(e.x, e.y, true, 1);
          break;
        case ReplayEvent::MouseUp:
          poster.postMouse(e.x, e.y, false, 1);
          break;
        case ReplayEvent::KeyDown:
          poster.postKey(codes[e.key], std::nullopt, true);
          break;
        case ReplayEvent::KeyUp:
          poster.postKey(codes[e.key], std::nullopt, false);
          break;
      }
    }
    poster.end();  // returns once the server has processed every event
  }
  state.counters["events_per_s"] =
      benchmark::Counter(static_cast<double>(events.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReplayX11EventPoster)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

// A recording of the same events as the server writes it (keys with their keysyms, so that the
// replay looks each key up by its symbol), `gapMs` apart, made into the skill "bench".
void writeRecording(const test::TempDir& dir, const std::vector<ReplayEvent>& events, int gapMs) {
  std::string log;
  int64_t at = 1000;
  for (size_t i = 0; i < events.size(); ++i, at += gapMs) {
    const ReplayEvent& e = events[i];
    JsonObject payload{{"sessionId", "bench"}};
    const char* type = "";
    switch (e.kind) {
      case ReplayEvent::MouseDown:
      case ReplayEvent::MouseUp:
        type = e.kind == ReplayEvent::MouseDown ? "mouse_down" : "mouse_up";
        payload.emplace("x", e.x);
        payload.emplace("y", e.y);
        break;
      case ReplayEvent::KeyDown:
      case ReplayEvent::KeyUp:
        type = e.kind == ReplayEvent::KeyDown ? "key_down" : "key_up";
        payload.emplace("keysym", static_cast<int>(kKeys[e.key][0]));
        payload.emplace("text", kKeys[e.key]);
        break;
    }
    log += writeJson(JsonObject{{"id", "evt_" + std::to_string(i)},
                                {"monotonicMs", JsonValue(static_cast<long long>(at))},
                                {"type", type},
                                {"payload", std::move(payload)}}) +
           "\n";
  }
  test::writeText(dir / ".zeruva/skills/bench/references/recording.json", R"({"sessionId":"bench"})");
  test::writeText(dir / ".zeruva/record-and-replay/sessions/bench/events.jsonl", log);
}

// The same 10,000 events through the whole replay at speed 0 (back to back): the log read and
// planned, each key found by its keysym, every event posted. To be set beside the poster alone
// and beside xdotool.
void BM_ReplaySkillBackToBack(benchmark::State& state) {
  Desktop& d = desktop(state.range(0) != 0);
  if (!d.ok) return state.SkipWithError("no display");
  test::TempDir dir;
  const auto events = replayEvents();
  writeRecording(dir, events, 1);
  X11EventPoster poster;
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  SemanticReplayer replayer(test::realFileSystem(), poster, inspector);
  for (auto _ : state) {
    const SemanticReplayResult result = replayer.replay(dir.path(), "bench", ReplayOptions{.speed = 0});
    if (result.status != "success") return state.SkipWithError("replay failed");
  }
  state.counters["events_per_s"] =
      benchmark::Counter(static_cast<double>(events.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReplaySkillBackToBack)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

// The cost of a check after a step: 40 letters typed into the accessible fixture's Query entry,
// replayed back to back with a text check after every key (the text so far) and without any.
// Reports the extra time per checked step from the whole replays, and the median and p99 of one
// passing check as a replay makes it (the display synced, the front window and the field asked).
void BM_ReplayCheckPerStep(benchmark::State& state) {
  AccessibleTarget* target = &accessibleTarget();
  if (!target->ok) return state.SkipWithError("no accessible desktop");
  ::setenv("DISPLAY", target->desktop.display().c_str(), 1);
  constexpr int kSteps = 40;
  const JsonObject app{{"appName", "FocusProbe"}, {"processId", static_cast<int>(target->app.pid())}};
  const auto write = [&](const test::TempDir& dir, bool checked) {
    std::string log, typed;
    for (int i = 0; i < kSteps; ++i) {
      for (const char* type : {"key_down", "key_up"}) {
        log += writeJson(JsonObject{{"id", "e" + std::to_string(i) + type},
                                    {"type", type},
                                    {"payload", JsonObject{{"keysym", 'a'}, {"text", "a"}, {"app", app}}}}) +
               "\n";
      }
      typed += "a";
      if (!checked) continue;
      Observation seen;
      seen.kind = Observation::Kind::kText;
      seen.element = ElementTarget{"text", "Query", {}, std::nullopt};
      seen.text = typed;
      log += writeJson(JsonObject{{"id", "o" + std::to_string(i)},
                                  {"type", "observation"},
                                  {"payload", JsonObject{{"observation", seen.toJson()}}}}) +
             "\n";
    }
    test::writeText(dir / ".zeruva/skills/bench/references/events.jsonl", log);
    test::writeText(dir / ".zeruva/skills/bench/references/recording.json", R"({"sessionId":"bench"})");
  };
  test::TempDir plain, checked;
  write(plain, false);
  write(checked, true);
  X11EventPoster poster;
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  SemanticReplayer replayer(test::realFileSystem(), poster, inspector);
  std::vector<double> extra, single;
  const ElementTarget query{"text", "Query", {}, std::nullopt};
  for (auto _ : state) {
    double ms[2];
    for (int run = 0; run < 2; ++run) {
      target->app.command("focus-entry");
      target->app.command("clear Query");
      const auto t0 = Clock::now();
      const SemanticReplayResult r =
          replayer.replay((run ? checked : plain).path(), "bench", ReplayOptions{.speed = 0});
      ms[run] = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      if (r.status != "success") return state.SkipWithError(("replay " + r.status).c_str());
    }
    extra.push_back((ms[1] - ms[0]) / kSteps);
    poster.begin();
    for (int i = 0; i < 50; ++i) {
      const auto t0 = Clock::now();
      poster.sync();
      const std::optional<FrontWindow> front = inspector.frontWindow();
      if (front) inspector.elementState(front->app.processId, query);
      single.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    poster.end();
  }
  state.counters["extra_ms_per_checked_step"] = percentile(extra, 0.5);
  state.counters["check_median_ms"] = percentile(single, 0.5);
  state.counters["check_p99_ms"] = percentile(single, 0.99);
}
BENCHMARK(BM_ReplayCheckPerStep)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// A recording with a person's pauses (a click into the accessible fixture's Query entry, five
// letters 300 ms apart, a check of the text, a click on Send: 2.4 s) replayed at speed 0. Reports
// its time against the recorded time (the target is under 0.3) and the median time a step takes,
// the wait for its readiness (window, element still, focus, check) included.
void BM_ReplayAtSpeedZeroWithPauses(benchmark::State& state) {
  AccessibleTarget* target = &accessibleTarget();
  if (!target->ok) return state.SkipWithError("no accessible desktop");
  ::setenv("DISPLAY", target->desktop.display().c_str(), 1);
  const std::vector<int> query = target->app.where("Query"), send = target->app.where("Send");
  const JsonObject app{{"appName", "FocusProbe"}, {"processId", static_cast<int>(target->app.pid())}};
  const auto element = [](const char* role, const char* name, const std::vector<int>& box) {
    return JsonObject{
        {"role", role},
        {"name", name},
        {"bounds", JsonObject{{"x", box[0]}, {"y", box[1]}, {"width", box[2]}, {"height", box[3]}}}};
  };
  std::string log;
  int64_t at = 1000;
  int n = 0;
  const auto line = [&](const char* type, JsonObject payload, int64_t pause) {
    at += pause;
    payload.emplace("app", app);
    log += writeJson(JsonObject{{"id", "e" + std::to_string(++n)},
                                {"monotonicMs", JsonValue(static_cast<long long>(at))},
                                {"type", type},
                                {"payload", std::move(payload)}}) +
           "\n";
  };
  const auto click = [&](const char* role, const char* name, const std::vector<int>& box, int64_t pause) {
    const JsonObject point{{"x", box[0] + box[2] / 2}, {"y", box[1] + box[3] / 2}};
    JsonObject down = point;
    down.emplace("target", element(role, name, box));
    line("mouse_down", down, pause);
    line("mouse_up", point, 80);
  };
  click("text", "Query", query, 0);
  const std::string letters = "abcde";
  for (size_t i = 0; i < letters.size(); ++i) {
    JsonObject key{{"keysym", static_cast<int>(letters[i])}, {"text", std::string(1, letters[i])}};
    if (i == 0) key.emplace("focus", element("text", "Query", query));
    line("key_down", key, 300);
    key.erase("focus");
    line("key_up", key, 60);
  }
  Observation typed;
  typed.kind = Observation::Kind::kText;
  typed.element = ElementTarget{"text", "Query", {}, std::nullopt};
  typed.text = letters;
  log += writeJson(JsonObject{{"id", "seen"},
                              {"type", "observation"},
                              {"payload", JsonObject{{"observation", typed.toJson()}}}}) +
         "\n";
  click("push button", "Send", send, 300);
  const double recordedMs = static_cast<double>(at - 1000);
  test::TempDir dir;
  test::writeText(dir / ".zeruva/skills/bench/references/events.jsonl", log);
  test::writeText(dir / ".zeruva/skills/bench/references/recording.json", R"({"sessionId":"bench"})");
  X11EventPoster poster;
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  SemanticReplayer replayer(test::realFileSystem(), poster, inspector);
  std::vector<double> ratios, steps;
  for (auto _ : state) {
    target->app.command("clear Query");
    target->app.command("focus-button");
    ReplayControl control;
    auto last = Clock::now();
    control.onProgress = [&](size_t done, size_t) {
      const auto now = Clock::now();
      if (done > 0) steps.push_back(std::chrono::duration<double, std::milli>(now - last).count());
      last = now;
    };
    const auto t0 = Clock::now();
    const SemanticReplayResult r = replayer.replay(dir.path(), "bench", ReplayOptions{.speed = 0}, &control);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    if (r.status != "success") {
      std::string why = "replay " + r.status;
      for (const ReplayStep& step : r.steps)
        if (step.status == ReplayStep::Status::kFailed) why += ": " + step.reason;
      return state.SkipWithError(why.c_str());
    }
    ratios.push_back(ms / recordedMs);
  }
  state.counters["replayed_to_recorded"] = percentile(ratios, 0.5);
  state.counters["step_median_ms"] = percentile(steps, 0.5);
  state.counters["step_p99_ms"] = percentile(steps, 0.99);
}
BENCHMARK(BM_ReplayAtSpeedZeroWithPauses)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// Notes when the first and the last event of a replay were posted.
class TimingPoster final : public EventPoster {
 public:
  explicit TimingPoster(EventPoster& inner) : inner_(inner) {}
  std::optional<Clock::time_point> first, last;

  bool begin() override { return inner_.begin(); }
  PostResult postMouse(double x, double y, bool down, int64_t button) override {
    return note(inner_.postMouse(x, y, down, button));
  }
  PostResult postMove(double x, double y) override { return note(inner_.postMove(x, y)); }
  PostResult postKey(int64_t code, std::optional<int64_t> keysym, bool down) override {
    return note(inner_.postKey(code, keysym, down));
  }
  PostResult postScroll(int64_t amount, bool sideways) override {
    return note(inner_.postScroll(amount, sideways));
  }
  void sync() override { inner_.sync(); }
  void end() override { inner_.end(); }

 private:
  PostResult note(PostResult result) {
    last = Clock::now();
    if (!first) first = last;
    return result;
  }
  EventPoster& inner_;
};

// At speed 1 a replay keeps the recording's time: 400 events 10 ms apart (4 s from the first to the
// last), the clicks and keys of the benchmark above. Reports the replay's span from its first to
// its last event against the recorded one; the target is within 5 %.
void BM_ReplaySkillAtRecordedSpeed(benchmark::State& state) {
  Desktop& d = desktop(true);
  if (!d.ok) return state.SkipWithError("no display");
  test::TempDir dir;
  auto events = replayEvents();
  events.resize(400);
  constexpr int kGapMs = 10;
  writeRecording(dir, events, kGapMs);
  X11EventPoster x11;
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  std::vector<double> ratios;
  for (auto _ : state) {
    TimingPoster poster(x11);
    SemanticReplayer replayer(test::realFileSystem(), poster, inspector);
    if (replayer.replay(dir.path(), "bench", ReplayOptions{.speed = 1}).status != "success") {
      return state.SkipWithError("replay failed");
    }
    const double replayedMs = std::chrono::duration<double, std::milli>(*poster.last - *poster.first).count();
    ratios.push_back(replayedMs / ((events.size() - 1) * kGapMs));
  }
  state.counters["replayed_to_recorded"] = percentile(ratios, 0.5);
  state.counters["worst_deviation_pct"] =
      100 * std::max(std::abs(*std::max_element(ratios.begin(), ratios.end()) - 1),
                     std::abs(*std::min_element(ratios.begin(), ratios.end()) - 1));
}
BENCHMARK(BM_ReplaySkillAtRecordedSpeed)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The same events as one xdotool script, in its fastest form (no delays).
void BM_ReplayXdotool(benchmark::State& state) {
  Desktop& d = desktop(state.range(0) != 0);
  if (!d.ok) return state.SkipWithError("no display");
  test::TempDir dir;
  const auto events = replayEvents();
  {
    std::ofstream script(dir / "replay.xdo");
    for (const ReplayEvent& e : events) {
      switch (e.kind) {
        case ReplayEvent::MouseDown:
          script << "mousemove " << e.x << ' ' << e.y << " mousedown 1\n";
          break;
        case ReplayEvent::MouseUp:
          script << "mousemove " << e.x << ' ' << e.y << " mouseup 1\n";
          break;
        case ReplayEvent::KeyDown:
          script << "keydown --delay 0 " << kKeys[e.key] << '\n';
          break;
        case ReplayEvent::KeyUp:
          script << "keyup --delay 0 " << kKeys[e.key] << '\n';
          break;
      }
    }
  }
  for (auto _ : state) {
    if (test::runQuietly({"xdotool", dir / "replay.xdo"}) != 0) return state.SkipWithError("xdotool failed");
    d.client->sync();
  }
  state.counters["events_per_s"] =
      benchmark::Counter(static_cast<double>(events.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReplayXdotool)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_ScreenshotHelper(benchmark::State& state) {
  Desktop& d = desktop();
  if (!d.ok) return state.SkipWithError("no display");
  test::TempDir dir;
  HelperScreenCapture store(
      test::realFileSystem(), [] { return true; }, {"--x11"}, DIRURI_SCREENSHOT_HELPER);
  for (auto _ : state) {
    if (!store.capturePNG(dir / "shot.png").ok) return state.SkipWithError("helper failed");
  }
}
BENCHMARK(BM_ScreenshotHelper)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

void BM_ScreenshotScrot(benchmark::State& state) {
  Desktop& d = desktop();
  if (!d.ok) return state.SkipWithError("no display");
  test::TempDir dir;
  for (auto _ : state) {
    if (test::runQuietly({"scrot", "-o", dir / "shot.png"}) != 0) return state.SkipWithError("scrot failed");
  }
}
BENCHMARK(BM_ScreenshotScrot)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(15)
    ->ReportAggregatesOnly(true)
    ->UseRealTime();

}  // namespace
}  // namespace diruri

BENCHMARK_MAIN();
