// Several routes for a replay's input, of which the first that can be reached is used.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "core/replay/event_poster.hpp"

namespace diruri {

// begin() tries the posters in order and keeps the first one that begins; the rest of the replay
// goes to it. None reached: begin() is false, as with one poster.
class FirstReachablePoster final : public EventPoster {
 public:
  explicit FirstReachablePoster(std::vector<std::unique_ptr<EventPoster>> posters)
      : posters_(std::move(posters)) {}

  bool begin() override {
    chosen_ = nullptr;
    for (const std::unique_ptr<EventPoster>& poster : posters_) {
      if (poster->begin()) {
        chosen_ = poster.get();
        return true;
      }
      poster->end();
    }
    return false;
  }
  PostResult postMouse(double x, double y, bool down, int64_t button) override {
    return chosen_ ? chosen_->postMouse(x, y, down, button) : PostResult::Unreachable;
  }
  PostResult postMove(double x, double y) override {
    return chosen_ ? chosen_->postMove(x, y) : PostResult::Unreachable;
  }
  PostResult postKey(int64_t keyCode, std::optional<int64_t> keysym, bool down) override {
    return chosen_ ? chosen_->postKey(keyCode, keysym, down) : PostResult::Unreachable;
  }
  PostResult postScroll(int64_t amount, bool sideways) override {
    return chosen_ ? chosen_->postScroll(amount, sideways) : PostResult::Unreachable;
  }
  void sync() override {
    if (chosen_) chosen_->sync();
  }
  void end() override {
    if (chosen_) chosen_->end();
    chosen_ = nullptr;
  }

 private:
  std::vector<std::unique_ptr<EventPoster>> posters_;
  EventPoster* chosen_ = nullptr;
};

}  // namespace diruri
