#include "core/recorder/ordered_event_writer.hpp"

namespace diruri {

OrderedEventWriter::OrderedEventWriter(ElementFinding& elements, FocusWatching& focus, Write write)
    : elements_(elements), focus_(focus), write_(std::move(write)) {}

void OrderedEventWriter::start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    ending_ = false;
  }
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
  const bool waits = running() && (item.lookUp || (item.judgement && item.judgement->afterMove));
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

void OrderedEventWriter::writeQueued() {
  for (;;) {
    Pending item;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return !queue_.empty() || ending_; });
      if (queue_.empty()) return;
      item = std::move(queue_.front());
      queue_.pop_front();
      writing_ = true;
    }
    RecordingEvent& event = item.event;
    if (item.lookUp && event.payload.app && event.payload.x && event.payload.y) {
      event.payload.target = elements_.elementAt(event.payload.app->processId, *event.payload.x,
                                                 *event.payload.y, item.capturedAt + kElementLookupBudget);
    }
    const std::optional<ElementTarget> field =
        item.judgement ? KeyRedaction::fieldFor(focus_, *item.judgement) : std::nullopt;
    write_(event, item.session, field);
    std::lock_guard lock(mutex_);
    writing_ = false;
  }
}

}  // namespace diruri
