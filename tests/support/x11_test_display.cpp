// The throwaway X display: Xvfb and openbox as child processes, test windows, and an XRecord witness.
#include "tests/support/x11_test_display.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <system_error>

namespace diruri::test {

using namespace std::chrono_literals;

XcbReply<xcb_generic_event_t> waitForEvent(xcb_connection_t* c,
                                           std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (xcb_generic_event_t* e = xcb_poll_for_event(c)) return XcbReply<xcb_generic_event_t>(e);
    if (xcb_connection_has_error(c)) return nullptr;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
  XcbReply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

namespace {

void end(std::optional<ChildProcess>& child, int signal) {
  if (child) child->stop(signal);
  child.reset();
}

}  // namespace

std::string XvfbServer::start() {
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

bool XvfbServer::startOpenbox() {
  probe_.reset();
  probe_.emplace(display_.c_str());
  xcb_connection_t* c = probe_->get();
  const xcb_window_t probe = xcb_generate_id(c);
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, probe_->root(), 0, 0, 10, 10, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
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
  probe_->roundTrip();
  return managed;
}

void XvfbServer::stopOpenbox() {
  end(wm_, SIGTERM);
  probe_.reset();
}

void XvfbServer::kill() {
  end(wm_, SIGKILL);
  end(xvfb_, SIGKILL);
  probe_.reset();
}

void XvfbServer::stop() {
  end(wm_, SIGTERM);
  probe_.reset();
  end(xvfb_, SIGTERM);
}

xcb_window_t TestClient::createWindow(const WindowProps& props, bool map) {
  xcb_connection_t* c = conn_.get();
  const xcb_window_t w = xcb_generate_id(c);
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, props.parent ? props.parent : root(), 10, 10, 300, 200, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  if (props.className) {
    std::string value = props.instanceName.value_or("") + '\0' + *props.className + '\0';
    setProperty(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, value);
  }
  if (props.netWmName) {
    setProperty(w, internAtom(c, "_NET_WM_NAME"), internAtom(c, "UTF8_STRING"), *props.netWmName);
  }
  if (props.wmName) {
    setProperty(w, XCB_ATOM_WM_NAME, internAtom(c, props.wmNameType.c_str()), *props.wmName);
  }
  if (props.gtkApplicationId) {
    setProperty(w, internAtom(c, "_GTK_APPLICATION_ID"), internAtom(c, "UTF8_STRING"),
                *props.gtkApplicationId);
  }
  if (props.pid) {
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, internAtom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1,
                        &*props.pid);
  }
  if (map) xcb_map_window(c, w);
  conn_.roundTrip();
  return w;
}

void TestClient::setProperty(xcb_window_t w, xcb_atom_t property, xcb_atom_t type, const std::string& bytes) {
  xcb_change_property(conn_.get(), XCB_PROP_MODE_REPLACE, w, property, type, 8,
                      static_cast<uint32_t>(bytes.size()), bytes.data());
}

void TestClient::focus(xcb_window_t w) {
  xcb_set_input_focus(conn_.get(), XCB_INPUT_FOCUS_POINTER_ROOT, w, XCB_CURRENT_TIME);
  conn_.roundTrip();
}

void TestClient::setActiveWindowProperty(xcb_window_t w) {
  xcb_change_property(conn_.get(), XCB_PROP_MODE_REPLACE, root(),
                      internAtom(conn_.get(), "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 32, 1, &w);
  conn_.roundTrip();
}

void TestClient::destroy(xcb_window_t w) {
  xcb_destroy_window(conn_.get(), w);
  conn_.roundTrip();
}

bool TestClient::activate(xcb_window_t w, std::chrono::milliseconds limit) {
  xcb_connection_t* c = conn_.get();
  const xcb_atom_t active = internAtom(c, "_NET_ACTIVE_WINDOW");
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c, root(), XCB_CW_EVENT_MASK, &mask);
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = w;
  message.type = active;
  message.data.data32[0] = 2;  // source: a pager or task bar
  message.data.data32[1] = XCB_CURRENT_TIME;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    xcb_send_event(c, 0, root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c);
    const auto attempt = std::min(deadline, std::chrono::steady_clock::now() + 250ms);
    for (;;) {
      XcbReply<xcb_get_property_reply_t> p(
          xcb_get_property_reply(c, xcb_get_property(c, 0, root(), active, XCB_ATOM_WINDOW, 0, 1), nullptr));
      if (p && xcb_get_property_value_length(p.get()) == 4 &&
          *static_cast<xcb_window_t*>(xcb_get_property_value(p.get())) == w) {
        return true;
      }
      if (!waitForEvent(c, attempt)) break;
    }
  }
  return false;
}

uint8_t TestClient::keycodeFor(uint32_t keysym) {
  xcb_connection_t* c = conn_.get();
  const xcb_setup_t* setup = xcb_get_setup(c);
  const uint8_t first = setup->min_keycode;
  const uint8_t count = static_cast<uint8_t>(setup->max_keycode - first + 1);
  XcbReply<xcb_get_keyboard_mapping_reply_t> map(
      xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, first, count), nullptr));
  if (!map) return 0;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
  for (int k = 0; k < count; ++k) {
    if (syms[k * map->keysyms_per_keycode] == keysym) return static_cast<uint8_t>(first + k);
  }
  return 0;
}

std::vector<int> TestClient::keysDown() {
  std::vector<int> down;
  XcbReply<xcb_query_keymap_reply_t> keys(
      xcb_query_keymap_reply(conn_.get(), xcb_query_keymap(conn_.get()), nullptr));
  for (int k = 0; keys && k < 256; ++k) {
    if (keys->keys[k / 8] & (1 << (k % 8))) down.push_back(k);
  }
  return down;
}

XcbReply<xcb_query_pointer_reply_t> TestClient::pointer() {
  return XcbReply<xcb_query_pointer_reply_t>(
      xcb_query_pointer_reply(conn_.get(), xcb_query_pointer(conn_.get(), root()), nullptr));
}

void TestClient::fake(uint8_t type, uint8_t detail, int16_t x, int16_t y) {
  xcb_test_fake_input(conn_.get(), type, detail, XCB_CURRENT_TIME, root(), x, y, 0);
}

bool RawRecordObserver::start(const std::string& display) {
  control_.emplace(display.c_str());
  data_.emplace(display.c_str());
  if (!control_->ok() || !data_->ok()) return false;
  xcb_connection_t* control = control_->get();
  context_ = xcb_generate_id(control);
  xcb_record_range_t range{};
  range.device_events.first = XCB_KEY_PRESS;
  range.device_events.last = XCB_BUTTON_RELEASE;
  const xcb_record_client_spec_t all = XCB_RECORD_CS_ALL_CLIENTS;
  if (XcbReply<xcb_generic_error_t> e{xcb_request_check(
          control, xcb_record_create_context_checked(control, context_, 0, 1, 1, &all, &range))}) {
    return false;
  }
  thread_ = std::thread([this] {
    xcb_connection_t* data = data_->get();
    auto cookie = xcb_record_enable_context(data, context_);
    xcb_flush(data);
    for (;;) {
      XcbReply<xcb_record_enable_context_reply_t> r(xcb_record_enable_context_reply(data, cookie, nullptr));
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

std::vector<RawEvent> RawRecordObserver::waitFor(size_t n, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return events_.size() >= n || ended_; });
  return events_;
}

std::vector<RawEvent> RawRecordObserver::events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void RawRecordObserver::stop() {
  if (thread_.joinable()) {
    xcb_record_disable_context(control_->get(), context_);
    xcb_flush(control_->get());
    thread_.join();
  }
  control_.reset();
  data_.reset();
}

}  // namespace diruri::test
