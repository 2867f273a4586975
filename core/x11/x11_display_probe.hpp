// Whether the X display can be reached and what it offers, asked once and kept.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace diruri {

// What the display named by `displayName` offers, learnt once and kept. A connection stays open, so
// a check costs a look at its socket; when the server has gone, or the name has changed, the
// display is asked afresh. A display that could not be reached is asked again at most once a
// second, so frequent status calls without one stay cheap too. Safe from any thread.
class X11DisplayProbe {
 public:
  struct Offer {
    bool reachable = false;  // the display opens
    bool record = false;     // and offers RECORD, what system-wide capture needs
  };

  // The name is asked at every check; empty means no display.
  explicit X11DisplayProbe(std::function<std::string()> displayName);
  ~X11DisplayProbe();
  X11DisplayProbe(const X11DisplayProbe&) = delete;
  X11DisplayProbe& operator=(const X11DisplayProbe&) = delete;

  Offer current();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace diruri
