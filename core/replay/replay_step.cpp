// The JSON form of a replay's step.
#include "core/replay/replay_step.hpp"

namespace diruri {

std::string_view replayStatusName(ReplayStep::Status status) {
  switch (status) {
    case ReplayStep::Status::kReplayed:
      return "replayed";
    case ReplayStep::Status::kFailed:
      return "failed";
    case ReplayStep::Status::kSkipped:
      break;
  }
  return "skipped";
}

JsonValue ReplayStep::toJson() const {
  JsonObject o{{"eventId", eventId}, {"type", eventTypeName(type)}, {"status", replayStatusName(status)}};
  if (!reason.empty()) o.emplace("reason", reason);
  switch (via) {
    case Via::kElement:
      o.emplace("via", "element");
      break;
    case Via::kWindow:
      o.emplace("via", "window");
      break;
    case Via::kAction:
      o.emplace("via", "action");
      break;
    case Via::kNone:
      break;
  }
  if (check) {
    o.emplace("check", JsonObject{{"kind", check->kind},
                                  {"expected", check->expected},
                                  {"observed", check->observed},
                                  {"ok", check->ok}});
  }
  putOptional(o, "argument", argument);
  return o;
}

}  // namespace diruri
