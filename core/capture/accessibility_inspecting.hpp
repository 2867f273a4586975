// What the recorder asks about the application in front.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/records/front_app.hpp"

namespace diruri {

class AccessibilityInspecting {
 public:
  virtual ~AccessibilityInspecting() = default;

  // The application in front, or none. Called from the capture thread once per input event.
  virtual std::optional<ForegroundAppSnapshot> foregroundSnapshot() = 0;

  // The same, with where the front window lies when that is known; one query for both. Called from
  // the capture thread for clicks and from the replay while it waits for its window.
  virtual std::optional<FrontWindow> frontWindow() {
    std::optional<ForegroundAppSnapshot> app = foregroundSnapshot();
    if (!app) return std::nullopt;
    return FrontWindow{std::move(*app), std::nullopt};
  }

  // Whether the front window can be known at all here (a compositor that tells no client about
  // windows cannot); when it cannot, a replay does not wait for windows.
  virtual bool knowsFrontWindow() { return true; }

  // Whether elementAt can answer at all. When it cannot, clicks are logged as they come.
  virtual bool findsElements() { return false; }

  // The deepest accessible element at a root-window point in the active window of the application
  // with this process id; none when there is none or nothing answers before `deadline`. Called
  // off the capture thread, one lookup at a time.
  virtual std::optional<ElementTarget> elementAt(int32_t /*processId*/, double /*x*/, double /*y*/,
                                                 std::chrono::steady_clock::time_point /*deadline*/) {
    return std::nullopt;
  }

  // The element of the application's active window with the role and name of `wanted` (its path
  // decides between several), as it is now.
  struct ElementSearch {
    // False when elements cannot be asked for at all (no accessibility bus, an application that
    // does not answer): looking again will not help.
    bool available = false;
    std::optional<FoundElement> found;
  };
  virtual ElementSearch findElement(int32_t /*processId*/, const ElementTarget& /*wanted*/) { return {}; }

  // Does the default action of that element (a button's click) without any input: for an element
  // that input cannot reach. True when the application did it.
  virtual bool activateElement(int32_t /*processId*/, const ElementTarget& /*wanted*/) { return false; }

  // Starts (or stops) following the keyboard focus, for focusedSecretField.
  virtual void watchFocus(bool /*on*/) {}
  // The password field that has the keyboard focus, as far as is known at this moment; none when
  // the focus is elsewhere or not known. Never waits: called from the capture thread for each key.
  virtual std::optional<ElementTarget> focusedSecretField() { return std::nullopt; }
  // The focus moves heard since watchFocus(true), and how many of them are known: the element
  // each went to has told its role. None when the focus is not followed. Never waits.
  struct FocusMoves {
    uint64_t heard = 0;
    uint64_t known = 0;
  };
  virtual std::optional<FocusMoves> focusMoves() { return std::nullopt; }
  // A password field the focus went to with focus move number `move` or a later one, as far as is
  // known at `deadline`, which is waited for. Called off the capture thread.
  virtual std::optional<ElementTarget> secretFieldSince(uint64_t /*move*/,
                                                        std::chrono::steady_clock::time_point /*deadline*/) {
    return focusedSecretField();
  }

  // Why elements and password fields cannot be known here, in a sentence for the agent; none when
  // they can. May take a moment (a bounded question to the accessibility bus).
  virtual std::optional<std::string> unavailableReason() { return std::nullopt; }

  // The front application with its focused window's and element's roles; none when nothing is in front.
  virtual std::optional<AccessibilitySnapshot> accessibilitySnapshot() = 0;

  // Writes the snapshot file (pretty JSON) atomically, creating missing parent directories.
  // Throws the file-system or encoding error.
  virtual void writeSnapshot(const AccessibilitySnapshot& snapshot, const std::string& path) = 0;
};

}  // namespace diruri
