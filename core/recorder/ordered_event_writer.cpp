#include "core/recorder/ordered_event_writer.hpp"

#include "core/text/unicode.hpp"

namespace diruri {

OrderedEventWriter::OrderedEventWriter(ElementFinding& elements, FocusWatching& focus,
                                       FrontWindowSource& windows, PointerSource pointer, Write write,
                                       WriteObservation observe)
    : elements_(elements),
      focus_(focus),
      windows_(windows),
      pointer_(std::move(pointer)),
      write_(std::move(write)),
      observe_(std::move(observe)) {}

void OrderedEventWriter::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    ending_ = false;
  }
  lastSeenMoves_.reset();
  ahead_.reset();
  typing_.reset();
  pressed_.reset();
  pressedChecked_.reset();
  thread_ = std::thread([this] { writeQueued(); });
}

void OrderedEventWriter::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void OrderedEventWriter::submit(Pending item) {
  if (item.event.kind != EventType::kMouseMove) inputs_.fetch_add(1);
  if (item.run) {
    const std::optional<FocusWatching::FocusMoves> moves = focus_.focusMoves();
    const std::optional<uint64_t> heard = moves ? std::optional<uint64_t>(moves->heard) : std::nullopt;
    if (item.startsTyping) {
      item.run->movesAtStart = heard;
    } else {
      item.run->focusStayed = heard == item.run->movesAtStart;
    }
  }
  const bool observes =
      item.asksFocus || (observe_ && (item.startsTyping || item.endsTyping || item.releasesClick));
  const bool waits = running() && (item.lookUp || observes || (item.judgement && item.judgement->afterMove));
  {
    std::lock_guard lock(mutex_);
    if (waits || writing_ || !queue_.empty()) {
      queue_.push_back(std::move(item));
      changed_.notify_all();
      return;
    }
  }
  write_(item.event, item.session, item.judgement ? item.judgement->field : std::nullopt);
}

void OrderedEventWriter::lookUp(Pending& item) {
  if ((item.startsTyping || item.asksFocus) && !item.fieldAsked) {
    // Asked now, not once the keys before it are written: by then a click may have moved the focus.
    item.fieldAsked = true;
    const int32_t processId = item.event.payload.app ? item.event.payload.app->processId : 0;
    if (item.endsTyping && item.run && item.run->focusStayed && item.run->field) {
      item.field = item.run->field;
      item.event.payload.focus = item.run->field;
    } else if (processId > 0) {
      if (std::optional<ElementFinding::ElementState> focused = elements_.focusedElement(processId)) {
        item.field = focused->element;
        item.event.payload.focus = focused->element;
      }
    }
    if (item.startsTyping && item.run) item.run->field = item.field;
  }
  if (!item.lookUp) return;
  item.lookUp = false;
  RecordingEvent& event = item.event;
  if (!event.payload.app || !event.payload.x || !event.payload.y) return;
  // Looked up before the press, at the same place, with nothing done since: what the person saw.
  if (ahead_ && ahead_->target && ahead_->pointerMoves == item.pointerMoves &&
      ahead_->inputsBefore == item.inputsBefore && ahead_->processId == event.payload.app->processId) {
    event.payload.target = ahead_->target;
    return;
  }
  event.payload.target = elements_.elementAt(event.payload.app->processId, *event.payload.x, *event.payload.y,
                                             item.capturedAt + kElementLookupBudget);
}

void OrderedEventWriter::observeBefore(const Pending& item) {
  if (item.endsTyping) endTyping();
}

void OrderedEventWriter::endTyping() {
  std::optional<TypingRun> run = std::move(typing_);
  typing_.reset();
  if (!run || !run->field || !observe_) return;
  const std::optional<ElementFinding::ElementState> state =
      elements_.elementState(run->processId, *run->field);
  if (!state || (!state->text && !state->secret)) return;
  Observation seen;
  seen.kind = Observation::Kind::kText;
  seen.element = state->element;
  if (state->secret) {
    // Of a password field only that it holds something: its text is never read.
    if (!state->notEmpty) return;
    seen.notEmpty = true;
  } else {
    seen.text = firstScalars(*state->text, Observation::kLongestText, &seen.cut);
  }
  observe_(std::move(seen), run->session);
}

void OrderedEventWriter::observeAfter(const Pending& item) {
  if (!observe_) return;
  const RecordingEvent& event = item.event;
  const int32_t processId = event.payload.app ? event.payload.app->processId : 0;
  if (event.kind == EventType::kMouseDown) {
    pressed_.reset();
    pressedChecked_.reset();
    if (event.payload.target && processId > 0) {
      pressed_.emplace(processId, *event.payload.target);
      // A toggle's state as it was pressed, so that its release waits for the change, not a time.
      if (isToggleRole(event.payload.target->role)) {
        if (const auto state = elements_.elementState(processId, *event.payload.target))
          pressedChecked_ = state->checked;
      }
    }
  }
  if (item.startsTyping && processId > 0) typing_ = TypingRun{processId, item.session, item.field};
  if (item.releasesClick && pressed_ && isToggleRole(pressed_->second.role)) {
    const auto until = std::chrono::steady_clock::now() + kToggleWait;
    std::optional<ElementFinding::ElementState> state;
    do {
      std::this_thread::sleep_for(kToggleSettle);
      state = elements_.elementState(pressed_->first, pressed_->second);
    } while (pressedChecked_ && state && state->checked == pressedChecked_ &&
             std::chrono::steady_clock::now() < until);
    if (state && state->checked) {
      Observation seen;
      seen.kind = Observation::Kind::kChecked;
      seen.element = state->element;
      seen.checked = state->checked;
      observe_(std::move(seen), item.session);
    }
  }
}

void OrderedEventWriter::lookAhead() {
  const std::optional<PointerMotion::Sighting> pointer = pointer_ ? pointer_() : std::nullopt;
  if (!pointer) return;
  const bool still = lastSeenMoves_ == pointer->moves;
  lastSeenMoves_ = pointer->moves;
  if (!still) return;
  const auto now = std::chrono::steady_clock::now();
  const uint64_t inputs = inputs_.load();
  if (ahead_ && ahead_->pointerMoves == pointer->moves && ahead_->inputsBefore == inputs &&
      now - ahead_->at < kLookAheadFreshFor)
    return;
  const std::optional<FrontWindow> front = windows_.frontWindow();
  LookedAhead ahead{pointer->moves, inputs, front ? front->app.processId : 0, now, std::nullopt};
  if (front && front->app.processId > 0)
    ahead.target =
        elements_.elementAt(front->app.processId, pointer->x, pointer->y, now + kElementLookupBudget);
  ahead_ = std::move(ahead);
}

// While a key waits for its focus, the clicks queued behind it are looked up as they come, near
// when they were made, not once the wait is over. Queued items stay where they are (a deque keeps
// its elements in place as the capture thread adds more), and only this thread touches them.
void OrderedEventWriter::awaitFocus(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    Pending* click = nullptr;
    {
      std::unique_lock lock(mutex_);
      const auto waiting = [this, &click] {
        for (Pending& p : queue_) {
          if (p.lookUp || ((p.startsTyping || p.asksFocus) && !p.fieldAsked)) {
            click = &p;
            return true;
          }
        }
        return false;
      };
      if (!changed_.wait_until(lock, deadline, waiting)) return;
    }
    lookUp(*click);
  }
}

void OrderedEventWriter::writeQueued() {
  for (;;) {
    Pending item;
    {
      std::unique_lock lock(mutex_);
      const auto ready = [this] { return !queue_.empty() || ending_; };
      if (pointer_) {
        if (!changed_.wait_for(lock, kPointerLook, ready)) {
          lock.unlock();
          lookAhead();
          continue;
        }
      } else {
        changed_.wait(lock, ready);
      }
      if (queue_.empty()) {
        lock.unlock();
        endTyping();  // the recording stops: a run of typing ends with it
        return;
      }
      item = std::move(queue_.front());
      queue_.pop_front();
      writing_ = true;
    }
    lookUp(item);
    if (item.judgement && item.judgement->afterMove) awaitFocus(item.judgement->deadline);
    const std::optional<ElementTarget> field =
        item.judgement ? KeyRedaction::fieldFor(focus_, *item.judgement) : std::nullopt;
    observeBefore(item);
    write_(item.event, item.session, field);
    observeAfter(item);
    std::lock_guard lock(mutex_);
    writing_ = false;
  }
}

}  // namespace diruri
