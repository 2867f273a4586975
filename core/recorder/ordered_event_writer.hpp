// Input events written to the log in the order they were captured, though some must wait first: a
// click for its element, a key for the focus it went to.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "core/capture/element_finding.hpp"
#include "core/recorder/key_redaction.hpp"
#include "core/records/recording_event.hpp"
#include "core/store/event_records.hpp"

namespace diruri {

// What waits is written by a thread of the writer's own; from the first waiting event on, every
// later one queues behind it, and with nothing queued an event is written at once on the thread
// that submits it. submit() is called by one thread at a time (the capture source's), start() and
// stop() by the thread that starts and stops recordings.
class OrderedEventWriter {
 public:
  // The longest a click's element lookup may hold back the log.
  static constexpr std::chrono::milliseconds kElementLookupBudget{400};

  struct Pending {
    RecordingEvent event;
    RecordingSession session;
    bool lookUp = false;  // a click whose element is still to be found, until the budget has passed
    std::chrono::steady_clock::time_point capturedAt;
    std::optional<KeyRedaction::Judgement> judgement;  // a key's
  };
  // Writes an event, given the password field a key went to (none for other events). Called on one
  // thread at a time, in capture order.
  using Write =
      std::function<void(RecordingEvent&, const RecordingSession&, const std::optional<ElementTarget>&)>;

  OrderedEventWriter(ElementFinding& elements, FocusWatching& focus, Write write);
  ~OrderedEventWriter() { stop(); }
  OrderedEventWriter(const OrderedEventWriter&) = delete;
  OrderedEventWriter& operator=(const OrderedEventWriter&) = delete;

  // Starts the writing thread; without one (never started, or stopped) nothing waits.
  void start();
  bool running() const { return thread_.joinable(); }
  void submit(Pending item);
  // Waits for everything queued to be written, then ends the thread.
  void stop();

 private:
  void writeQueued();
  // The element of a click still to be looked up.
  void lookUp(Pending& item);
  // Until `deadline`, looking up the clicks that come meanwhile.
  void awaitFocus(std::chrono::steady_clock::time_point deadline);

  ElementFinding& elements_;
  FocusWatching& focus_;
  Write write_;
  std::mutex mutex_;  // guards the queue and the flags
  std::condition_variable changed_;
  std::deque<Pending> queue_;
  bool writing_ = false;  // the thread holds an event taken from the queue
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace diruri
