// A throwaway X display for tests and benchmarks: Xvfb (and openbox), test windows, an independent
// XRecord observer and paced XTest input. Needs only XCB, so benchmarks can use it.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/x11/x11_connection.hpp"
#include "tests/support/child_process.hpp"

namespace diruri::test {

// Waits for an event on `c` until `deadline`; null when none came (or the connection failed).
XcbReply<xcb_generic_event_t> waitForEvent(xcb_connection_t* c,
                                           std::chrono::steady_clock::time_point deadline);

xcb_atom_t internAtom(xcb_connection_t* c, const char* name);

// Xvfb on a display number it picks itself, 1920x1080x24, that survives its last client leaving.
// Sets $DISPLAY for this process while it runs.
class XvfbServer {
 public:
  XvfbServer() = default;
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  ~XvfbServer() { stop(); }

  // Empty on success, else why it failed. The display number is drawn at random above those
  // people usually run (other test runs on the machine start their search at 0); a taken or
  // unusable one makes Xvfb exit or stall, and the next attempt draws another.
  std::string start();

  // Starts openbox and returns once it manages windows. It announces itself on the root early,
  // but drops the map requests that arrive while it is still starting up; so a probe window is
  // mapped (again after each short wait) until openbox reparents it into a frame. The probe's
  // connection stays open while openbox runs: openbox may still be unmanaging the probe when the
  // test maps its first window, and a new connection would be given the same window id, which
  // openbox then takes for the probe and leaves unmapped.
  bool startOpenbox();
  void stopOpenbox();

  // The server dies at once, as when it crashes.
  void kill();
  void stop();

  const std::string& display() const { return display_; }
  pid_t pid() const { return xvfb_ ? xvfb_->pid() : -1; }

 private:
  std::optional<ChildProcess> xvfb_;
  std::optional<ChildProcess> wm_;
  std::optional<X11Connection> probe_;
  std::string display_;
};

// What a test window carries. Unset fields are not set on the window.
struct WindowProps {
  std::optional<std::string> instanceName;  // WM_CLASS, with className
  std::optional<std::string> className;
  std::optional<std::string> netWmName;  // _NET_WM_NAME (UTF8_STRING)
  std::optional<std::string> wmName;     // WM_NAME, of type wmNameType
  std::string wmNameType = "STRING";
  std::optional<uint32_t> pid;  // _NET_WM_PID
  std::optional<std::string> gtkApplicationId;
  xcb_window_t parent = XCB_WINDOW_NONE;  // the root when none

  WindowProps& withClass(std::string instance, std::string cls) {
    instanceName = std::move(instance);
    className = std::move(cls);
    return *this;
  }
  WindowProps& withNetWmName(std::string title) {
    netWmName = std::move(title);
    return *this;
  }
  WindowProps& withWmName(std::string bytes, std::string type = "STRING") {
    wmName = std::move(bytes);
    wmNameType = std::move(type);
    return *this;
  }
  WindowProps& withPid(uint32_t p) {
    pid = p;
    return *this;
  }
  WindowProps& withAppId(std::string id) {
    gtkApplicationId = std::move(id);
    return *this;
  }
  WindowProps& childOf(xcb_window_t w) {
    parent = w;
    return *this;
  }
};

// A client of the test display that makes windows, moves focus and reads the server's state.
class TestClient {
 public:
  explicit TestClient(const std::string& display) : conn_(display.c_str()) {}

  bool ok() const { return conn_.ok(); }
  xcb_connection_t* conn() const { return conn_.get(); }
  xcb_window_t root() const { return conn_.root(); }

  xcb_window_t createWindow(const WindowProps& props, bool map = true);
  void setProperty(xcb_window_t w, xcb_atom_t property, xcb_atom_t type, const std::string& bytes);
  // Without a window manager: gives the window the input focus (it must be mapped).
  void focus(xcb_window_t w);
  void setActiveWindowProperty(xcb_window_t w);
  void destroy(xcb_window_t w);

  // Asks the window manager to activate `w`, as a task bar does, and waits until it names `w` as
  // the active window. The request is repeated at short intervals: a manager still busy managing
  // the newly mapped window (slow on a loaded machine) ignores an activation that comes too early.
  bool activate(xcb_window_t w, std::chrono::milliseconds limit = std::chrono::seconds(30));

  // The keycode the server maps to a keysym (unshifted column), or 0.
  uint8_t keycodeFor(uint32_t keysym);
  // Keys the server holds down now.
  std::vector<int> keysDown();
  // The pointer's position and button mask.
  XcbReply<xcb_query_pointer_reply_t> pointer();

  // Posts one XTest event (no position for buttons and keys, as XTest has it).
  void fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0);
  void sync() { conn_.roundTrip(); }

 private:
  X11Connection conn_;
};

// One device event as the server recorded it.
struct RawEvent {
  int type;
  int detail;
  int rootX;
  int rootY;
  bool operator==(const RawEvent&) const = default;
};

// Records KeyPress..ButtonRelease of all clients with its own two connections and thread, written
// straight against the protocol: the independent witness of what reached the server.
class RawRecordObserver {
 public:
  ~RawRecordObserver() { stop(); }

  bool start(const std::string& display);
  // Waits until at least n events arrived (or the limit passed) and returns all seen so far.
  std::vector<RawEvent> waitFor(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(20));
  std::vector<RawEvent> events();
  void stop();

 private:
  std::optional<X11Connection> control_;
  std::optional<X11Connection> data_;
  uint32_t context_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RawEvent> events_;
  bool started_ = false;
  bool ended_ = false;
};

// Collects what a handler receives, for waiting on from the test's thread.
template <typename Event>
class Inbox {
 public:
  void push(const Event& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(e);
    changed_.notify_all();
  }
  std::vector<Event> waitFor(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return items_.size() >= n; });
    return items_;
  }
  std::vector<Event> items() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> items_;
};

}  // namespace diruri::test
