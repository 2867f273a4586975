// Where the keyboard focus is, followed while a recording runs, so that keys typed into a password
// field keep nothing of the keys.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "core/records/front_app.hpp"

namespace diruri {

// watchFocus is called by the thread that starts and stops recordings; the others from the capture
// thread (never waiting) and from the ordered writer's thread (secretFieldSince, which waits until
// its deadline). What they return is the caller's.
class FocusWatching {
 public:
  virtual ~FocusWatching() = default;

  // Starts (or stops) following the keyboard focus. Starting waits, for a bounded moment, until the
  // focus events are subscribed to.
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
  // Of those, the moves heard before `when`: a move heard after some input happened is not one that
  // came before it, even when the input is delivered after it. Never waits.
  virtual uint64_t movesHeardBefore(std::chrono::steady_clock::time_point /*when*/) {
    const std::optional<FocusMoves> moves = focusMoves();
    return moves ? moves->heard : 0;
  }
  // A password field the focus went to with focus move number `move` or a later one up to
  // `lastMove` (the moves heard before the next input that moved the focus), as far as is known at
  // `deadline`, which is waited for. Called off the capture thread.
  virtual std::optional<ElementTarget> secretFieldSince(uint64_t /*move*/,
                                                        std::chrono::steady_clock::time_point /*deadline*/,
                                                        uint64_t /*lastMove*/) {
    return focusedSecretField();
  }
};

}  // namespace diruri
