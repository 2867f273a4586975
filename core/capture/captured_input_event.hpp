// One observed input event, from the event source to the recorder controller.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/records/front_app.hpp"

namespace diruri {

struct CapturedInputEvent {
  // "mouse_down", "mouse_up", "key_down", "key_up", "scroll" or "user_marker".
  std::string type;
  std::optional<double> x;  // mouse events only
  std::optional<double> y;
  std::optional<int64_t> keyCode;  // key events only
  std::optional<int64_t> scrollY;  // scroll events only, zero included
  // Key events: what the key produced under the keyboard map in force, and the character that is
  // when it is one.
  std::optional<int64_t> keysym = std::nullopt;
  std::optional<std::string> text = std::nullopt;
  // Clicks a source did not see the pointer make but inferred from an element being activated;
  // the press carries the element, whose middle is the point.
  bool inferred = false;
  std::optional<ElementTarget> target = std::nullopt;

  bool operator==(const CapturedInputEvent&) const = default;
};

}  // namespace diruri
