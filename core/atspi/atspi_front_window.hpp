// The window in front as the accessibility bus tells it, for a compositor that tells no client
// (GNOME): the frame an accessible application last activated and has not deactivated since.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/atspi/accessibility_bus_location.hpp"
#include "core/capture/front_window_source.hpp"

namespace diruri {

// A thread follows window:activate and window:deactivate from the first question on, and at its
// start looks for the frame that is active already (a window in front before sends nothing). A
// frame's title is its name and its application is the application's root element (its name) on
// the connection that sent it (its process id); a window whose connection goes (its process died)
// is in front no more. Where the window lies is not told: no geometry. Applications without
// accessibility support are never in front here. While no window is known in front, a question
// has the active frame looked for again (a window that became active as the watch began may have
// sent its activation before the watch heard it).
class AtspiFrontWindow final : public FrontWindowSource {
 public:
  explicit AtspiFrontWindow(DisplayBusAddress displayBus) : displayBus_(std::move(displayBus)) {}
  ~AtspiFrontWindow() override;
  AtspiFrontWindow(const AtspiFrontWindow&) = delete;
  AtspiFrontWindow& operator=(const AtspiFrontWindow&) = delete;

  std::optional<FrontWindow> frontWindow() override;
  // The accessibility bus answers and its window events are followed.
  bool knowsFrontWindow() override;

 private:
  struct Front {
    std::string sender;
    std::string path;
    ForegroundAppSnapshot app;
  };
  // Starts the thread once and waits (bounded) until it follows, or gave up; whether it follows.
  bool following();
  void run();

  const DisplayBusAddress displayBus_;
  std::mutex mutex_;
  std::condition_variable settled_;
  bool started_ = false;
  bool settledOnce_ = false;
  bool follows_ = false;
  std::optional<Front> front_;
  // Asked for while nothing is known in front: the thread looks for the active frame again.
  bool rescan_ = false;
  uint64_t scans_ = 0;
  std::chrono::steady_clock::time_point scannedAt_;  // at most one look a half second
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace diruri
