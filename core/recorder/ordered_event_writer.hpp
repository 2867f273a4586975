// Input events written to the log in the order they were captured, though some must wait first: a
// click for its element, a key for the focus it went to.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "core/capture/element_finding.hpp"
#include "core/capture/front_window_source.hpp"
#include "core/capture/pointer_motion.hpp"
#include "core/recorder/key_redaction.hpp"
#include "core/records/recording_event.hpp"
#include "core/store/event_records.hpp"

namespace diruri {

// What waits is written by a thread of the writer's own; from the first waiting event on, every
// later one queues behind it, and with nothing queued an event is written at once on the thread
// that submits it. submit() is called by one thread at a time (the capture source's), start() and
// stop() by the thread that starts and stops recordings.
//
// A press's element is the one under the pointer as the person pressed, not what the application
// put there in answer (a popup opened by the press): while nothing is queued, the writer's thread
// looks up the element where the pointer has come to rest, and a press made there, with no input
// since, takes that element.
class OrderedEventWriter {
 public:
  // The longest a click's element lookup may hold back the log.
  static constexpr std::chrono::milliseconds kElementLookupBudget{400};
  // How often the pointer is looked at while nothing is queued; a pointer in the same place twice
  // running is at rest.
  static constexpr std::chrono::milliseconds kPointerLook{15};
  // An element looked up ahead this long ago is looked up again: the application may have changed.
  static constexpr std::chrono::milliseconds kLookAheadFreshFor{300};

  // A key that ends a run of typing (Tab, Enter) was typed into the run's field: asked once the
  // key is taken up, the focus may already be where the key sent it. The focus moves heard are
  // set as the keys are submitted, the field by the writer.
  struct TypingRunFocus {
    std::optional<uint64_t> movesAtStart;
    bool focusStayed = false;  // no move was heard between the run's first key and its end
    std::optional<ElementTarget> field;
  };

  struct Pending {
    RecordingEvent event;
    RecordingSession session;
    bool lookUp = false;  // a click whose element is still to be found, until the budget has passed
    std::chrono::steady_clock::time_point capturedAt;
    std::optional<KeyRedaction::Judgement> judgement;  // a key's
    uint64_t pointerMoves = 0;                         // the pointer's motion count at the event
    uint64_t inputsBefore = 0;  // presses, releases, keys and scrolls submitted before it
    // What the writer observes around it, off the capture thread: the field a run of typing that
    // this key begins goes into; the field's text once a run it ends is over; the state of a
    // toggle this release let go of.
    bool startsTyping = false;
    bool asksFocus = false;  // a key whose focused element the log keeps (run starts, keys that type nothing)
    bool endsTyping = false;
    bool releasesClick = false;
    // The writer's: the field a run of typing goes into, asked near when its first key came.
    bool fieldAsked = false;
    std::optional<ElementTarget> field = std::nullopt;
    // The run of typing this key begins or ends, shared by both.
    std::shared_ptr<TypingRunFocus> run = nullptr;
  };
  // Where the pointer is; none where it is not seen.
  using PointerSource = std::function<std::optional<PointerMotion::Sighting>()>;
  // Writes an event, given the password field a key went to (none for other events). Called on one
  // thread at a time, in capture order.
  using Write =
      std::function<void(RecordingEvent&, const RecordingSession&, const std::optional<ElementTarget>&)>;
  // Writes what was observed after the last input event written. Called as Write is.
  using WriteObservation = std::function<void(Observation, const RecordingSession&)>;

  // How long a toggle is given to show its new state after the release.
  // (read again this often, up to kToggleWait, while it still shows the state it was pressed in).
  static constexpr std::chrono::milliseconds kToggleSettle{50};
  static constexpr std::chrono::milliseconds kToggleWait{300};

  OrderedEventWriter(ElementFinding& elements, FocusWatching& focus, FrontWindowSource& windows,
                     PointerSource pointer, Write write, WriteObservation observe = {});
  ~OrderedEventWriter() { stop(); }
  OrderedEventWriter(const OrderedEventWriter&) = delete;
  OrderedEventWriter& operator=(const OrderedEventWriter&) = delete;

  // Starts the writing thread; without one (never started, or stopped) nothing waits.
  void start();
  bool running() const { return thread_.joinable(); }
  void submit(Pending item);
  // The count for the next item's inputsBefore; the submitting thread's.
  uint64_t inputsSubmitted() const { return inputs_; }
  // Waits for everything queued to be written, then ends the thread.
  void stop();

 private:
  void writeQueued();
  // The element of a click still to be looked up, and the field of a key that begins a run of
  // typing: asked as soon as they are taken up, even while a key before them waits.
  void lookUp(Pending& item);
  // Until `deadline`, looking up the clicks that come meanwhile.
  void awaitFocus(std::chrono::steady_clock::time_point deadline);
  // While nothing is queued: the element under a pointer at rest, for the press that may follow.
  void lookAhead();
  // The observations around an item (Pending's flags), before and after it is written.
  void observeBefore(const Pending& item);
  void observeAfter(const Pending& item);
  // A run of typing that is over: its field's text.
  void endTyping();

  struct LookedAhead {
    uint64_t pointerMoves = 0;
    uint64_t inputsBefore = 0;
    int32_t processId = 0;
    std::chrono::steady_clock::time_point at;
    std::optional<ElementTarget> target;
  };

  ElementFinding& elements_;
  FocusWatching& focus_;
  FrontWindowSource& windows_;
  PointerSource pointer_;
  Write write_;
  WriteObservation observe_;
  std::atomic<uint64_t> inputs_{0};
  // The writer thread's: the field being typed into, and the last press's element.
  struct TypingRun {
    int32_t processId = 0;
    RecordingSession session;
    std::optional<ElementTarget> field;
  };
  std::optional<TypingRun> typing_;
  std::optional<std::pair<int32_t, ElementTarget>> pressed_;
  std::optional<bool> pressedChecked_;
  // The writer thread's own.
  std::optional<uint64_t> lastSeenMoves_;
  std::optional<LookedAhead> ahead_;
  std::mutex mutex_;  // guards the queue and the flags
  std::condition_variable changed_;
  std::deque<Pending> queue_;
  bool writing_ = false;  // the thread holds an event taken from the queue
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace diruri
