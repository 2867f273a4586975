// System-wide capture of clicks, keys and wheel steps from the X display, through RECORD.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/capture/input_event_recording.hpp"
#include "core/x11/x11_display_probe.hpp"

namespace diruri {

// Two connections to the display per capture: one creates, disables and frees the record context, the
// other receives the recorded events on a thread of the recorder's own. start() returns once the
// server has confirmed that recording runs; stop() returns once that thread has ended. Events
// still in flight when stop() begins are dropped. If the display goes away during capture, the
// handler receives one kCaptureLost, the thread ends and isRunning() turns false.
//
// start() and stop() may be called from any thread, stop() also from inside the handler: it then
// returns at once, no further event is delivered, and the next start() or stop() (or the
// destructor) collects the ended thread. start() from inside the handler returns false.
class X11InputRecorder final : public InputEventRecording {
 public:
  // Asks the display named by `displayName` on its own (see X11DisplayProbe).
  explicit X11InputRecorder(std::function<std::string()> displayName);
  // Shares what `probe` learnt of the display; the probe must outlive the recorder.
  explicit X11InputRecorder(X11DisplayProbe& probe);
  ~X11InputRecorder() override;
  X11InputRecorder(const X11InputRecorder&) = delete;
  X11InputRecorder& operator=(const X11InputRecorder&) = delete;

  bool canObserveInput() override;
  std::string unavailableReason() override;
  bool start(Handler onEvent) override;
  void stop() override;
  bool isRunning() override;
  std::optional<PointerMotion::Sighting> pointerSighting() override;

 private:
  struct RecordContext;
  std::unique_ptr<X11DisplayProbe> ownProbe_;
  X11DisplayProbe& probe_;
  std::unique_ptr<RecordContext> record_;
};

}  // namespace diruri
