// Recording by meaning, from the accessibility bus, where no protocol shows a client the person's
// keys and pointer (a Wayland session).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "core/atspi/accessibility_bus_location.hpp"
#include "core/capture/front_window_source.hpp"
#include "core/capture/input_event_recording.hpp"

namespace diruri {

// Keys come from the registry's keystroke listeners: every key an accessible application is given,
// with its keysym and, where it is a character, its text, but no key code (the application's key
// codes are those of the keymap it was handed, not of a keyboard). A release carries the keysym
// of its press.
//
// Clicks are inferred: the keyboard focus moving to a button, check box, menu item, link and the
// like, or such an element being checked, when no key was pressed just before, becomes a press
// and a release at the element's middle with the element as target. The element reports its
// extent inside its window; `windows` says where the window is. Clicks on what has no accessible
// element, on a button that already had the focus, scrolling and drawing are not seen.
//
// Two private connections to the accessibility bus, each with a thread: one answers the registry's
// key notifications at once (an application waits for that answer before it handles its key), the
// other follows focus events and asks about their elements. The handler is called by one of them at
// a time. stop() lets them deliver what had already come (a click whose element is being asked
// about included) before it returns. A bus that goes away ends the capture with one kCaptureLost.
class AtspiMeaningRecorder final : public InputEventRecording {
 public:
  AtspiMeaningRecorder(FrontWindowSource& windows, DisplayBusAddress displayBus);
  ~AtspiMeaningRecorder() override;
  AtspiMeaningRecorder(const AtspiMeaningRecorder&) = delete;
  AtspiMeaningRecorder& operator=(const AtspiMeaningRecorder&) = delete;

  // The accessibility bus runs and answers.
  bool canObserveInput() override;
  std::string unavailableReason() override;
  bool start(Handler onEvent) override;
  void stop() override;
  bool isRunning() override;

 private:
  struct Capture;
  FrontWindowSource& windows_;
  const DisplayBusAddress displayBus_;
  std::mutex mutex_;
  std::unique_ptr<Capture> capture_;
};

}  // namespace diruri
