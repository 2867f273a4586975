// System-wide capture of clicks, keys, wheel steps and pointer motion from the X display, through
// RECORD.
#include "core/x11/x11_input_recorder.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <xcb/record.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "core/capture/pointer_motion.hpp"
#include "core/platform/sigpipe_guard.hpp"
#include "core/x11/x11_connection.hpp"
#include "core/x11/x11_event_mapping.hpp"

namespace diruri {

namespace {

// Linux keeps 15 bytes of a thread name: "ZuderoZadoveViduzaDiradUzu" becomes this.
constexpr char kThreadName[] = "ZuderoZadoveVid";

// How long start() waits for the server to confirm recording, and stop() for the thread to see
// the end of data before it cuts the connection.
constexpr auto kStartLimit = std::chrono::seconds(5);
constexpr auto kStopLimit = std::chrono::seconds(2);
// How often the capture thread looks for a changed keyboard map: a look reads the control
// connection's socket, which is not worth doing for every event.
constexpr auto kKeymapCheckInterval = std::chrono::milliseconds(20);

enum class Phase { Starting, Capturing, Ended };

// Reply categories of an enabled record context (the protocol numbers them; XCB names none).
constexpr uint8_t kFromServer = 0;
constexpr uint8_t kStartOfData = 4;
constexpr uint8_t kEndOfData = 5;

}  // namespace

// The RECORD context of one capture, its two connections and its reading thread.
struct X11InputRecorder::RecordContext {
  std::mutex lifecycle;  // serialises start() and stop(), so neither sees the other half done

  // Owned by whoever holds `lifecycle`; the thread only reads them while it runs.
  std::unique_ptr<X11Connection> control;
  std::unique_ptr<X11Connection> data;
  uint32_t context = 0;
  std::thread thread;
  Handler handler;
  // The keyboard map in force, read at the start and again when the server announces a change;
  // only the capture thread touches it while it runs.
  X11Keymap keymap;
  std::chrono::steady_clock::time_point keymapCheckedAt;
  // What of the pointer's motion the log keeps; the capture thread's while it runs.
  PointerMotion motion;
  std::vector<CapturedInputEvent> kept;
  mutable std::mutex sightingMutex;
  std::optional<PointerMotion::Sighting> sighting;

  std::mutex phaseMutex;
  std::condition_variable phaseChanged;
  Phase phase = Phase::Ended;
  bool confirmed = false;  // the server sent start-of-data for this run

  std::atomic<bool> stopRequested{false};
  std::atomic<bool> running{false};
  std::atomic<std::thread::id> threadId{};  // the capture thread, while it runs

  bool onCaptureThread() const { return threadId.load() == std::this_thread::get_id(); }

  void setPhase(Phase p) {
    {
      std::lock_guard<std::mutex> lock(phaseMutex);
      phase = p;
      if (p == Phase::Capturing) confirmed = true;
      running = p == Phase::Capturing && !stopRequested;
    }
    phaseChanged.notify_all();
  }

  // An exception escaping the thread would end the process; a failing handler loses that event
  // only.
  void deliver(const CapturedInputEvent& event) {
    try {
      handler(event);
    } catch (...) {
    }
  }

  // The server tells every client of a changed keyboard or modifier map (setxkbmap, a new layout)
  // with MappingNotify; the control connection receives it, and nothing else arrives there.
  void followKeymapChanges() {
    const auto now = std::chrono::steady_clock::now();
    if (now - keymapCheckedAt < kKeymapCheckInterval) return;
    keymapCheckedAt = now;
    bool changed = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(control->get())) {
      changed = changed || (event->response_type & 0x7f) == XCB_MAPPING_NOTIFY;
      std::free(event);
    }
    if (changed) keymap = X11Keymap::read(control->get());
  }

  void readLoop() {
    threadId = std::this_thread::get_id();
    pthread_setname_np(pthread_self(), kThreadName);
    // This thread writes one request; if the server is gone by then, that must not kill the
    // process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    // The server answers this one request with a stream of replies: start of data, the recorded
    // events, and end of data once the context is disabled.
    xcb_connection_t* const conn = data->get();
    const xcb_record_enable_context_cookie_t cookie = xcb_record_enable_context(conn, context);
    xcb_flush(conn);
    bool endOfData = false;
    while (!endOfData) {
      xcb_generic_error_t* error = nullptr;
      XcbReply<xcb_record_enable_context_reply_t> reply(
          xcb_record_enable_context_reply(conn, cookie, &error));
      std::free(error);
      if (!reply) break;  // connection lost, or refused before it started
      switch (reply->category) {
        case kStartOfData:
          setPhase(Phase::Capturing);
          break;
        case kFromServer: {
          followKeymapChanges();
          const auto events = capturedEventsFromRecordData(
              xcb_record_enable_context_data(reply.get()),
              static_cast<size_t>(xcb_record_enable_context_data_length(reply.get())),
              reply->client_swapped != 0, &keymap);
          for (const CapturedInputEvent& e : events) {
            if (stopRequested) break;
            kept.clear();
            motion.feed(e, kept);
            if (e.type == EventType::kMouseMove || e.x) {
              std::lock_guard<std::mutex> lock(sightingMutex);
              sighting = motion.sighting();
            }
            for (const CapturedInputEvent& k : kept) {
              if (stopRequested) break;
              deliver(k);
            }
          }
          break;
        }
        case kEndOfData:
          endOfData = true;
          break;
        default:
          break;
      }
    }
    // The stream ended without being asked to: the display went away under a running capture.
    // The flag turns false before the handler hears of it.
    const bool lost = !endOfData && !stopRequested && running;
    running = false;
    if (lost) {
      CapturedInputEvent marker;
      marker.type = EventType::kCaptureLost;
      deliver(marker);
    }
    setPhase(Phase::Ended);
    threadId = std::thread::id();
  }

  bool begin(Handler onEvent) {
    SigpipeGuard guard;
    control = std::make_unique<X11Connection>();
    data = std::make_unique<X11Connection>();
    if (!data->ok() || !control->hasExtension(&xcb_record_id)) return false;

    context = xcb_generate_id(control->get());
    xcb_record_range_t range{};
    range.device_events.first = XCB_KEY_PRESS;
    range.device_events.last = XCB_MOTION_NOTIFY;
    const xcb_record_client_spec_t clients = XCB_RECORD_CS_ALL_CLIENTS;
    xcb_generic_error_t* error = xcb_request_check(
        control->get(),
        xcb_record_create_context_checked(control->get(), context, 0, 1, 1, &clients, &range));
    if (error != nullptr) {
      std::free(error);
      context = 0;
      return false;
    }

    keymap = X11Keymap::read(control->get());
    keymapCheckedAt = std::chrono::steady_clock::now();
    motion = PointerMotion();
    {
      std::lock_guard<std::mutex> lock(sightingMutex);
      sighting.reset();
    }
    handler = std::move(onEvent);
    stopRequested = false;
    {
      std::lock_guard<std::mutex> lock(phaseMutex);
      phase = Phase::Starting;
      confirmed = false;
    }
    thread = std::thread([this] { readLoop(); });

    std::unique_lock<std::mutex> lock(phaseMutex);
    phaseChanged.wait_for(lock, kStartLimit, [this] { return phase != Phase::Starting; });
    return confirmed;
  }

  // From the handler, on the capture thread: it cannot wait for itself, and must not wait for
  // the lifecycle lock (a stop() on another thread may hold it while waiting for this thread).
  // The thread ends once the server confirms; the next start() or stop() collects it.
  void endFromHandler() {
    stopRequested = true;
    running = false;
    disable();
  }

  void end() {
    stopRequested = true;
    running = false;
    if (thread.joinable()) {
      disable();
      std::unique_lock<std::mutex> lock(phaseMutex);
      if (!phaseChanged.wait_for(lock, kStopLimit, [this] { return phase == Phase::Ended; })) {
        // No end of data from a hung server (or a start that never got going): cutting the
        // socket makes the blocked read fail, so the join below cannot hang.
        shutdown(xcb_get_file_descriptor(data->get()), SHUT_RDWR);
      }
      lock.unlock();
      thread.join();
    }
    release();
  }

  void disable() {
    if (!control || context == 0) return;
    SigpipeGuard guard;
    xcb_record_disable_context(control->get(), context);
    xcb_flush(control->get());
  }

  void release() {
    SigpipeGuard guard;
    if (control && context != 0) {
      xcb_record_free_context(control->get(), context);
      xcb_flush(control->get());
    }
    context = 0;
    control.reset();
    data.reset();
    handler = nullptr;
    running = false;
  }
};

X11InputRecorder::X11InputRecorder(std::function<std::string()> displayName)
    : ownProbe_(std::make_unique<X11DisplayProbe>(std::move(displayName))),
      probe_(*ownProbe_),
      record_(std::make_unique<RecordContext>()) {}

X11InputRecorder::X11InputRecorder(X11DisplayProbe& probe)
    : probe_(probe), record_(std::make_unique<RecordContext>()) {}

X11InputRecorder::~X11InputRecorder() { stop(); }

bool X11InputRecorder::canObserveInput() { return probe_.current().record; }

std::string X11InputRecorder::unavailableReason() {
  const X11DisplayProbe::Offer offer = probe_.current();
  if (!offer.reachable) {
    return "No display: input is not captured (DISPLAY is not set, or its X server cannot be reached).";
  }
  if (!offer.record) return "The X display offers no RECORD extension: input is not captured.";
  return "Input capture could not start on the X display.";
}

bool X11InputRecorder::start(Handler onEvent) {
  if (record_->onCaptureThread()) return false;  // a handler cannot restart its own capture
  std::lock_guard<std::mutex> lock(record_->lifecycle);
  if (record_->running) return false;
  record_->end();  // a run that ended on its own, or stopped from its handler, is collected first
  if (record_->begin(std::move(onEvent))) return true;
  record_->end();
  return false;
}

void X11InputRecorder::stop() {
  if (record_->onCaptureThread()) return record_->endFromHandler();
  std::lock_guard<std::mutex> lock(record_->lifecycle);
  record_->end();
}

bool X11InputRecorder::isRunning() { return record_->running; }

std::optional<PointerMotion::Sighting> X11InputRecorder::pointerSighting() {
  std::lock_guard<std::mutex> lock(record_->sightingMutex);
  return record_->sighting;
}

}  // namespace diruri
