// The system-wide input event source the recorder controller listens to.
#pragma once

#include <functional>
#include <string>

#include <optional>

#include "core/capture/captured_input_event.hpp"
#include "core/capture/pointer_motion.hpp"

namespace diruri {

class InputEventRecording {
 public:
  using Handler = std::function<void(const CapturedInputEvent&)>;

  virtual ~InputEventRecording() = default;

  // Whether the process may observe input at all. Never prompts; no side effect.
  virtual bool canObserveInput() = 0;

  // Starts delivering events to onEvent, one at a time and in order, on threads of the source's
  // own (one on X11; on Wayland two, never at once). A handler that throws loses that event only:
  // the source goes on with the next. True when capture started. Must not be called while running
  // (call stop() first).
  virtual bool start(Handler onEvent) = 0;

  // Stops delivery. May be called at any time. When it returns, onEvent is not running and will
  // not be called again.
  virtual void stop() = 0;

  // True from a start() that returned true until stop(), or until the source ended on its own
  // (its display went away).
  virtual bool isRunning() = 0;

  // Where the pointer is as the capture last saw it, from any thread; none where the source does
  // not see the pointer move.
  virtual std::optional<PointerMotion::Sighting> pointerSighting() { return std::nullopt; }

  // Why input is not captured here, in a sentence for the agent; asked when start() failed.
  virtual std::string unavailableReason() { return "Input is not captured: no input source can be reached."; }
};

}  // namespace diruri
