// The accessible elements of the front application: found at a point, found again by what they
// are, and pressed by their own action.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records/front_app.hpp"

namespace diruri {

// Any thread may call these, one call at a time per thread; each blocks for at most its own bounded
// question to the accessibility bus (elementAt until its deadline, the others a fraction of a
// second). What they return is the caller's.
class ElementFinding {
 public:
  virtual ~ElementFinding() = default;

  // Whether elementAt can answer at all. When it cannot, clicks are logged as they come.
  virtual bool findsElements() { return false; }

  // The deepest accessible element at a root-window point in the topmost window there of the
  // application with this process id (a popup, a submenu, a dialog, else its active window); none
  // when there is none or nothing answers before `deadline`. Called off the capture thread, one
  // lookup at a time.
  virtual std::optional<ElementTarget> elementAt(int32_t /*processId*/, double /*x*/, double /*y*/,
                                                 std::chrono::steady_clock::time_point /*deadline*/) {
    return std::nullopt;
  }

  // The element of the application's windows, topmost first, with the role and name of `wanted`
  // (its path decides between several), as it is now.
  struct ElementSearch {
    // False when elements cannot be asked for at all (no accessibility bus, an application that
    // does not answer): looking again will not help.
    bool available = false;
    std::optional<FoundElement> found;
  };
  virtual ElementSearch findElement(int32_t /*processId*/, const ElementTarget& /*wanted*/) { return {}; }

  // An element with what a replay can check of it: an editable text's whole text, a toggle's
  // checked state, whether it is a password field (whose text is never read).
  struct ElementState {
    ElementTarget element;
    std::optional<std::string> text;
    std::optional<bool> checked;
    bool secret = false;
    bool notEmpty = false;  // a password field's: it holds something
  };
  // The element with the keyboard focus in the application's active window, as it is now; none
  // when nothing answers. Called off the capture thread.
  virtual std::optional<ElementState> focusedElement(int32_t /*processId*/) { return std::nullopt; }
  // The element findElement finds, as it is now.
  virtual std::optional<ElementState> elementState(int32_t /*processId*/, const ElementTarget& /*wanted*/) {
    return std::nullopt;
  }
  // Up to `limit` shown elements of the application's topmost windows nearest a root-window
  // point, nearest first: what an agent that takes over can act on.
  virtual std::vector<ElementTarget> elementsNear(int32_t /*processId*/, double /*x*/, double /*y*/,
                                                  size_t /*limit*/) {
    return {};
  }

  // Gives that element the keyboard focus without any input; true when the application took it.
  virtual bool focusElement(int32_t /*processId*/, const ElementTarget& /*wanted*/) { return false; }

  // Does the default action of that element (a button's click) without any input: for an element
  // that input cannot reach. True when the application did it.
  virtual bool activateElement(int32_t /*processId*/, const ElementTarget& /*wanted*/) { return false; }

  // Why elements and password fields cannot be known here, in a sentence for the agent; none when
  // they can. May take a moment (a bounded question to the accessibility bus).
  virtual std::optional<std::string> unavailableReason() { return std::nullopt; }
};

}  // namespace diruri
