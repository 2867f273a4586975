// What became of one event of a replay: the record each step of run.json and of the answer holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/json/json_value.hpp"
#include "core/records/recording_event.hpp"

namespace diruri {

struct ReplayStep {
  enum class Status : uint8_t { kSkipped, kReplayed, kFailed };
  // Where a press of the mouse went: the element it was recorded on, found again; the same point
  // in its window; or the element pressed by its accessible action.
  enum class Via : uint8_t { kNone, kElement, kWindow, kAction };

  // What the recording observed after this step, checked again: the kind ("text", "checked",
  // "window", "front"), what was expected and what was found, in words.
  struct Check {
    std::string kind;
    std::string expected;
    std::string observed;
    bool ok = false;
    bool operator==(const Check&) const = default;
  };

  std::string eventId;
  EventType type = EventType::kOther;
  Status status = Status::kSkipped;
  Via via = Via::kNone;
  // Why a step was not replayed ("redacted" for a key typed into a password field); "" when it was.
  std::string reason;
  std::optional<Check> check = std::nullopt;
  // The parameter whose argument this step's typing was replaced by: its name, never its text.
  std::optional<std::string> argument = std::nullopt;

  bool operator==(const ReplayStep&) const = default;
  // {"eventId", "type", "status", and "reason", "via", "check" and "argument" when there are}.
  JsonValue toJson() const;
};

std::string_view replayStatusName(ReplayStep::Status status);

}  // namespace diruri
