// Doubles for the recorder controller's components: the input source, the screen, the
// accessibility inspector and the event poster. The ones that write files do so through a given
// FileSystem (the real one by default), so that injected faults reach them as they reach the store.
#pragma once

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/capture/accessibility_inspecting.hpp"
#include "core/capture/input_event_recording.hpp"
#include "core/capture/screen_capturing.hpp"
#include "core/json/json_value.hpp"
#include "core/platform/file_system.hpp"
#include "core/platform/path.hpp"
#include "core/replay/event_poster.hpp"
#include "tests/support/real_file_system.hpp"

namespace diruri::test {

// Delivers events from a thread of its own, like the real source; stop() joins it, so no handler
// call runs after stop() returns.
class FakeTap : public InputEventRecording {
 public:
  bool trusted = true;
  bool startSucceeds = true;
  std::atomic<int> starts{0}, stops{0};

  ~FakeTap() override { stop(); }

  bool canObserveInput() override { return trusted; }
  bool start(Handler onEvent) override {
    ++starts;
    if (!startSucceeds) return false;
    std::lock_guard lock(mutex_);
    handler_ = std::move(onEvent);
    running_ = true;
    return true;
  }
  void stop() override {
    ++stops;
    keepFiring_ = false;
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  bool isRunning() override {
    std::lock_guard lock(mutex_);
    return running_;
  }

  // Fires the events on the source thread and waits until all were handled.
  void fire(const std::vector<CapturedInputEvent>& events) {
    std::thread t([&] {
      for (const auto& e : events) deliver(e);
    });
    t.join();
  }
  // Keeps firing the event on the source thread until stop(); returns once the first one was handled.
  void fireContinuously(CapturedInputEvent event) {
    keepFiring_ = true;
    std::atomic<bool> first{false};
    thread_ = std::thread([this, event, &first] {
      deliver(event);
      first = true;
      while (keepFiring_) deliver(event);
    });
    while (!first) std::this_thread::yield();
  }
  // The source ends on its own (its display went away).
  void endOnItsOwn() {
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  // Hands an event to the handler even after stop, as a source without the stop guarantee would.
  void deliverLate(const CapturedInputEvent& e) {
    if (handler_) handler_(e);
  }

 private:
  void deliver(const CapturedInputEvent& e) {
    Handler h;
    {
      std::lock_guard lock(mutex_);
      if (!running_) return;
      h = handler_;
    }
    h(e);
  }

  std::mutex mutex_;
  Handler handler_;
  bool running_ = false;
  std::atomic<bool> keepFiring_{false};
  std::thread thread_;
};

// Writes a small file for a successful capture, nothing for a failed one. Never throws, as the real
// one: a failed write is a failed capture.
class FakeScreenCapture final : public ScreenCapturing {
 public:
  explicit FakeScreenCapture(FileSystem& fs = realFileSystem()) : fs_(fs) {}

  bool allowed = true;
  bool succeeds = true;
  std::vector<std::string> targets;
  // Called first with each path, on the capturing thread (a test may block it there).
  std::function<void(const std::string& path)> onCapture;

  bool canCaptureScreen() override { return allowed; }
  ScreenCaptureResult capturePNG(const std::string& path) override {
    if (onCapture) onCapture(path);
    targets.push_back(path);
    if (!succeeds) return {path, false};
    try {
      fs_.createDirectories(parentDirectory(path));
      fs_.writeFileAtomically(path, "\x89PNG fake");
      return {path, true};
    } catch (const FileSystemError&) {
      return {path, false};
    }
  }

 private:
  FileSystem& fs_;
};

// A fixed front application.
class FakeInspector final : public AccessibilityInspecting {
 public:
  std::optional<ForegroundAppSnapshot> front =
      ForegroundAppSnapshot{"org.example.Editor", "Editor", 812, "Untitled"};

  std::optional<FrontWindow> frontWindow() override {
    if (!front) return std::nullopt;
    return FrontWindow{*front, std::nullopt};
  }
  std::optional<AccessibilitySnapshot> accessibilitySnapshot() override {
    if (!front) return std::nullopt;
    AccessibilitySnapshot s;
    s.app = *front;
    s.capturedAt = "2025-01-31T12:34:56Z";
    return s;
  }

  // Element lookups, when `lookups` is set: each answers `element` once the gate is open (an
  // application that takes its time, whatever the deadline), or nothing after 10 s.
  bool lookups = false;
  std::optional<ElementTarget> element;
  std::atomic<int> lookupsStarted{0};
  void closeGate() {
    std::lock_guard lock(gateMutex_);
    gateOpen_ = false;
  }
  void openGate() {
    {
      std::lock_guard lock(gateMutex_);
      gateOpen_ = true;
    }
    gateChanged_.notify_all();
  }
  bool findsElements() override { return lookups; }
  std::optional<ElementTarget> elementAt(int32_t, double, double,
                                         std::chrono::steady_clock::time_point deadline) override {
    ++lookupsStarted;
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;  // asked too late
    std::unique_lock lock(gateMutex_);
    if (!gateChanged_.wait_for(lock, std::chrono::seconds(10), [this] { return gateOpen_; }))
      return std::nullopt;
    return element;
  }
  // Set between deliveries: the password field in focus.
  std::optional<ElementTarget> secretField;
  std::optional<ElementTarget> focusedSecretField() override { return secretField; }
  // When set, the focus is followed, and heard to move `movesHeard` times (each told at once):
  // keys behind a focus move wait it out.
  bool followsFocus = false;
  uint64_t movesHeard = 0;  // set between deliveries
  std::optional<FocusMoves> focusMoves() override {
    return followsFocus ? std::optional<FocusMoves>(FocusMoves{movesHeard, movesHeard}) : std::nullopt;
  }
  // The element with the keyboard focus, as the writer asks it.
  void setFocused(std::optional<ElementTarget> element) {
    std::lock_guard lock(gateMutex_);
    focused_ = std::move(element);
  }
  std::optional<ElementState> focusedElement(int32_t) override {
    std::lock_guard lock(gateMutex_);
    if (!focused_) return std::nullopt;
    ElementState state;
    state.element = *focused_;
    return state;
  }
  std::optional<ElementTarget> secretFieldSince(uint64_t, std::chrono::steady_clock::time_point deadline,
                                                uint64_t) override {
    std::this_thread::sleep_until(deadline);
    return secretField;
  }

 private:
  std::mutex gateMutex_;
  std::condition_variable gateChanged_;
  bool gateOpen_ = true;
  std::optional<ElementTarget> focused_;
};

class NullPoster : public EventPoster {
 public:
  bool reachable = true;
  int posted = 0;
  bool begin() override { return reachable; }
  PostResult postMouse(double, double, bool, int64_t) override { return ++posted, PostResult::Posted; }
  PostResult postMove(double, double) override { return ++posted, PostResult::Posted; }
  PostResult postKey(int64_t, std::optional<int64_t>, bool) override { return ++posted, PostResult::Posted; }
  PostResult postScroll(int64_t, bool) override { return ++posted, PostResult::Posted; }
  void sync() override {}
  void end() override {}
};

}  // namespace diruri::test
