// A throwaway X display for tests and benchmarks: Xvfb (and openbox), test windows, an independent
// XRecord observer and paced XTest input. Header-only; needs only XCB, so benchmarks can use it.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include "core/x11/x11_connection.hpp"
#include "tests/support/child_process.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace diruri::test {

using namespace std::chrono_literals;

struct XFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XReply = std::unique_ptr<T, XFree>;

// The processes whose parent is `parent`, zombies included.
inline std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f) continue;
    char buf[512] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    // The name in parentheses may hold spaces; the state and the parent follow the last ')'.
    const char* close = std::strrchr(buf, ')');
    char state;
    int ppid;
    if (n > 0 && close && std::sscanf(close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
      children.push_back(pid);
    }
  }
  if (proc) closedir(proc);
  return children;
}

inline void reap(pid_t& pid, int sig) {
  if (pid <= 0) return;
  ::kill(pid, sig);
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
}

// Waits for an event on `c` until `deadline`; nullptr when none came (or the connection failed).
inline XReply<xcb_generic_event_t> waitForEvent(xcb_connection_t* c,
                                                std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (xcb_generic_event_t* e = xcb_poll_for_event(c)) return XReply<xcb_generic_event_t>(e);
    if (xcb_connection_has_error(c)) return nullptr;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
}

// Connects under the process-wide connect lock, as the components do.
inline xcb_connection_t* connectTo(const std::string& display) {
  std::lock_guard<std::mutex> lock(x11ConnectMutex());
  return xcb_connect(display.c_str(), nullptr);
}

inline xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  XReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name), nullptr));
  return r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

inline void roundTrip(xcb_connection_t* c) {
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

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
  std::string start() {
    std::string number;
    std::random_device seed;
    std::uniform_int_distribution<int> pick(100, 999);
    for (int attempt = 0; attempt < 5 && number.find('\n') == std::string::npos; ++attempt) {
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
      ChildOptions options = quietChild();
      options.inheritedFd = fds[1];
      try {
        xvfb_.emplace(std::vector<std::string>{"Xvfb", ":" + std::to_string(pick(seed)), "-displayfd",
                                               std::to_string(fds[1]), "-noreset", "-nolisten", "tcp",
                                               "-screen", "0", "1920x1080x24"},
                      options);
      } catch (const std::system_error&) {
        ::close(fds[0]);
        ::close(fds[1]);
        return "Xvfb could not be started (is it installed?)";
      }
      ::close(fds[1]);
      // Xvfb writes the display number once it accepts connections.
      number.clear();
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        char buf[32];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<size_t>(n));
      }
      ::close(fds[0]);
      if (number.find('\n') == std::string::npos) xvfb_.reset();
    }
    if (number.find('\n') == std::string::npos) return "Xvfb did not report a display";
    display_ = ":" + number.substr(0, number.find('\n'));
    ::setenv("DISPLAY", display_.c_str(), 1);
    return {};
  }

  // Starts openbox and returns once it manages windows. It announces itself on the root early,
  // but drops the map requests that arrive while it is still starting up; so a probe window is
  // mapped (again after each short wait) until openbox reparents it into a frame. The probe's
  // connection stays open while openbox runs: openbox may still be unmanaging the probe when the
  // test maps its first window, and a new connection would be given the same window id, which
  // openbox then takes for the probe and leaves unmapped.
  bool startOpenbox() {
    closeProbe();
    xcb_connection_t* c = probe_ = connectTo(display_);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_window_t probe = xcb_generate_id(c);
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, root, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                      &mask);
    try {
      wm_.emplace(std::vector<std::string>{"openbox", "--sm-disable"}, quietChild());
    } catch (const std::system_error&) {
    }
    bool managed = false;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!managed && wm_ && std::chrono::steady_clock::now() < deadline) {
      xcb_unmap_window(c, probe);
      xcb_map_window(c, probe);
      xcb_flush(c);
      const auto attempt = std::min(deadline, std::chrono::steady_clock::now() + 200ms);
      while (!managed) {
        auto e = waitForEvent(c, attempt);
        if (!e) break;
        managed = (e->response_type & 0x7f) == XCB_REPARENT_NOTIFY;
      }
    }
    xcb_destroy_window(c, probe);
    roundTrip(c);
    return managed;
  }

  void stopOpenbox() {
    end(wm_, SIGTERM);
    closeProbe();
  }

  // The server dies at once, as when it crashes.
  void kill() {
    end(wm_, SIGKILL);
    end(xvfb_, SIGKILL);
    closeProbe();
  }

  void stop() {
    end(wm_, SIGTERM);
    closeProbe();
    end(xvfb_, SIGTERM);
  }

  const std::string& display() const { return display_; }
  pid_t pid() const { return xvfb_ ? xvfb_->pid() : -1; }

 private:
  void closeProbe() {
    if (probe_) xcb_disconnect(probe_);
    probe_ = nullptr;
  }

  static void end(std::optional<ChildProcess>& child, int signal) {
    if (child) child->stop(signal);
    child.reset();
  }

  std::optional<ChildProcess> xvfb_;
  std::optional<ChildProcess> wm_;
  xcb_connection_t* probe_ = nullptr;
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
  explicit TestClient(const std::string& display) {
    conn_ = connectTo(display);
    if (!xcb_connection_has_error(conn_))
      root_ = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data->root;
  }
  ~TestClient() { xcb_disconnect(conn_); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool ok() const { return !xcb_connection_has_error(conn_); }
  xcb_connection_t* conn() const { return conn_; }
  xcb_window_t root() const { return root_; }

  xcb_window_t createWindow(const WindowProps& props, bool map = true) {
    const xcb_window_t w = xcb_generate_id(conn_);
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_create_window(conn_, XCB_COPY_FROM_PARENT, w, props.parent ? props.parent : root_, 10, 10,
                      300, 200, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                      XCB_CW_EVENT_MASK, &mask);
    if (props.className) {
      std::string value = props.instanceName.value_or("") + '\0' + *props.className + '\0';
      setProperty(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, value);
    }
    if (props.netWmName) {
      setProperty(w, internAtom(conn_, "_NET_WM_NAME"), internAtom(conn_, "UTF8_STRING"),
                  *props.netWmName);
    }
    if (props.wmName) {
      setProperty(w, XCB_ATOM_WM_NAME, internAtom(conn_, props.wmNameType.c_str()), *props.wmName);
    }
    if (props.gtkApplicationId) {
      setProperty(w, internAtom(conn_, "_GTK_APPLICATION_ID"), internAtom(conn_, "UTF8_STRING"),
                  *props.gtkApplicationId);
    }
    if (props.pid) {
      xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, internAtom(conn_, "_NET_WM_PID"),
                          XCB_ATOM_CARDINAL, 32, 1, &*props.pid);
    }
    if (map) xcb_map_window(conn_, w);
    roundTrip(conn_);
    return w;
  }

  void setProperty(xcb_window_t w, xcb_atom_t property, xcb_atom_t type, const std::string& bytes) {
    xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, property, type, 8,
                        static_cast<uint32_t>(bytes.size()), bytes.data());
  }

  // Without a window manager: gives the window the input focus (it must be mapped).
  void focus(xcb_window_t w) {
    xcb_set_input_focus(conn_, XCB_INPUT_FOCUS_POINTER_ROOT, w, XCB_CURRENT_TIME);
    roundTrip(conn_);
  }

  void setActiveWindowProperty(xcb_window_t w) {
    xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, root_,
                        internAtom(conn_, "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 32, 1, &w);
    roundTrip(conn_);
  }

  void destroy(xcb_window_t w) {
    xcb_destroy_window(conn_, w);
    roundTrip(conn_);
  }

  // Asks the window manager to activate `w`, as a task bar does, and waits until it names `w` as
  // the active window. The request is repeated at short intervals: a manager still busy managing
  // the newly mapped window (slow on a loaded machine) ignores an activation that comes too early.
  bool activate(xcb_window_t w, std::chrono::milliseconds limit = 30s) {
    const xcb_atom_t active = internAtom(conn_, "_NET_ACTIVE_WINDOW");
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(conn_, root_, XCB_CW_EVENT_MASK, &mask);
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = w;
    message.type = active;
    message.data.data32[0] = 2;  // source: a pager or task bar
    message.data.data32[1] = XCB_CURRENT_TIME;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      xcb_send_event(conn_, 0, root_,
                     XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                     reinterpret_cast<const char*>(&message));
      xcb_flush(conn_);
      const auto attempt = std::min(deadline, std::chrono::steady_clock::now() + 250ms);
      for (;;) {
        XReply<xcb_get_property_reply_t> p(xcb_get_property_reply(
            conn_, xcb_get_property(conn_, 0, root_, active, XCB_ATOM_WINDOW, 0, 1), nullptr));
        if (p && xcb_get_property_value_length(p.get()) == 4 &&
            *static_cast<xcb_window_t*>(xcb_get_property_value(p.get())) == w) {
          return true;
        }
        if (!waitForEvent(conn_, attempt)) break;
      }
    }
    return false;
  }

  // The keycode the server maps to a keysym (unshifted column), or 0.
  uint8_t keycodeFor(uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(conn_);
    const uint8_t first = setup->min_keycode;
    const uint8_t count = static_cast<uint8_t>(setup->max_keycode - first + 1);
    XReply<xcb_get_keyboard_mapping_reply_t> map(xcb_get_keyboard_mapping_reply(
        conn_, xcb_get_keyboard_mapping(conn_, first, count), nullptr));
    if (!map) return 0;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    for (int k = 0; k < count; ++k) {
      if (syms[k * map->keysyms_per_keycode] == keysym) return static_cast<uint8_t>(first + k);
    }
    return 0;
  }

  // Keys the server holds down now.
  std::vector<int> keysDown() {
    std::vector<int> down;
    XReply<xcb_query_keymap_reply_t> keys(
        xcb_query_keymap_reply(conn_, xcb_query_keymap(conn_), nullptr));
    for (int k = 0; keys && k < 256; ++k) {
      if (keys->keys[k / 8] & (1 << (k % 8))) down.push_back(k);
    }
    return down;
  }

  // The pointer's position and button mask.
  XReply<xcb_query_pointer_reply_t> pointer() {
    return XReply<xcb_query_pointer_reply_t>(
        xcb_query_pointer_reply(conn_, xcb_query_pointer(conn_, root_), nullptr));
  }

  // Posts one XTest event (no position for buttons and keys, as XTest has it).
  void fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0) {
    xcb_test_fake_input(conn_, type, detail, XCB_CURRENT_TIME, root_, x, y, 0);
  }
  void sync() { roundTrip(conn_); }

 private:
  xcb_connection_t* conn_ = nullptr;
  xcb_window_t root_ = XCB_WINDOW_NONE;
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

  bool start(const std::string& display) {
    control_ = connectTo(display);
    data_ = connectTo(display);
    if (xcb_connection_has_error(control_) || xcb_connection_has_error(data_)) return false;
    context_ = xcb_generate_id(control_);
    xcb_record_range_t range{};
    range.device_events.first = XCB_KEY_PRESS;
    range.device_events.last = XCB_BUTTON_RELEASE;
    const xcb_record_client_spec_t all = XCB_RECORD_CS_ALL_CLIENTS;
    if (xcb_generic_error_t* e = xcb_request_check(
            control_,
            xcb_record_create_context_checked(control_, context_, 0, 1, 1, &all, &range))) {
      std::free(e);
      return false;
    }
    thread_ = std::thread([this] {
      auto cookie = xcb_record_enable_context(data_, context_);
      xcb_flush(data_);
      for (;;) {
        XReply<xcb_record_enable_context_reply_t> r(
            xcb_record_enable_context_reply(data_, cookie, nullptr));
        if (!r || r->category == 5) break;  // gone, or end of data
        std::lock_guard<std::mutex> lock(mutex_);
        if (r->category == 4) started_ = true;
        const uint8_t* d = xcb_record_enable_context_data(r.get());
        const int n = xcb_record_enable_context_data_length(r.get());
        for (int at = 0; r->category == 0 && at + 32 <= n; at += 32) {
          int16_t x, y;
          std::memcpy(&x, d + at + 20, 2);
          std::memcpy(&y, d + at + 22, 2);
          events_.push_back({d[at] & 0x7f, d[at + 1], x, y});
        }
        changed_.notify_all();
      }
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return started_ || ended_; }) && started_;
  }

  // Waits until at least n events arrived (or the limit passed) and returns all seen so far.
  std::vector<RawEvent> waitFor(size_t n, std::chrono::milliseconds limit = 20s) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return events_.size() >= n || ended_; });
    return events_;
  }

  std::vector<RawEvent> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  void stop() {
    if (thread_.joinable()) {
      xcb_record_disable_context(control_, context_);
      xcb_flush(control_);
      thread_.join();
    }
    if (control_) xcb_disconnect(control_);
    if (data_) xcb_disconnect(data_);
    control_ = data_ = nullptr;
  }

 private:
  xcb_connection_t* control_ = nullptr;
  xcb_connection_t* data_ = nullptr;
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
  std::vector<Event> waitFor(size_t n, std::chrono::milliseconds limit = 20s) {
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
