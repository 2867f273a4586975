// Which window is in front and where: the one thing the accessibility side needs from the
// windowing system.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "core/records/front_app.hpp"

namespace diruri {

// Safe from several threads at once (the capture thread asks for each event, a replay while it
// waits for its window); each call blocks for at most its bounded question to the windowing system
// (under half a second). What it returns is the caller's.
class FrontWindowSource {
 public:
  virtual ~FrontWindowSource() = default;
  // The application in front with its window's place when known; none when nothing is in front or
  // the windowing system cannot be reached.
  virtual std::optional<FrontWindow> frontWindow() = 0;
  // False when this windowing system tells nothing about windows, whatever is in front.
  virtual bool knowsFrontWindow() { return true; }

  // The application of frontWindow().
  std::optional<ForegroundAppSnapshot> foregroundSnapshot() {
    std::optional<FrontWindow> front = frontWindow();
    if (!front) return std::nullopt;
    return std::move(front->app);
  }
};

// The first of two sources that knows the front window, chosen at the first question and kept:
// the compositor's where it tells, else the accessibility bus's.
class FirstKnowingFrontWindow final : public FrontWindowSource {
 public:
  FirstKnowingFrontWindow(std::unique_ptr<FrontWindowSource> first, std::unique_ptr<FrontWindowSource> second)
      : first_(std::move(first)), second_(std::move(second)) {}
  std::optional<FrontWindow> frontWindow() override { return chosen().frontWindow(); }
  bool knowsFrontWindow() override { return chosen().knowsFrontWindow(); }

 private:
  FrontWindowSource& chosen() {
    std::call_once(chosen_, [this] { source_ = first_->knowsFrontWindow() ? first_.get() : second_.get(); });
    return *source_;
  }
  std::unique_ptr<FrontWindowSource> first_;
  std::unique_ptr<FrontWindowSource> second_;
  std::once_flag chosen_;
  FrontWindowSource* source_ = nullptr;
};

}  // namespace diruri
