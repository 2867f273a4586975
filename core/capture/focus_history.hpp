// Where the keyboard focus was after each of its latest moves, and when that became known, so that
// a key waiting for the focus it moved is judged by what was known when its wait ended.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "core/records/front_app.hpp"

namespace diruri {

// The password field (or none) the focus was in, move by move. A key is judged by the focus known
// at its deadline: a move heard later is input the key never saw (a writer that runs behind would
// otherwise take the password field a person clicked seconds later for the field typed into).
class FocusHistory {
 public:
  using Time = std::chrono::steady_clock::time_point;
  static constexpr size_t kKept = 64;

  FocusHistory() { reset(); }
  void reset() {
    entries_.assign(1, Entry{0, Time::min(), std::nullopt});
    moves_ = 0;
  }
  // The focus before any move was heard.
  void seed(std::optional<ElementTarget> field) { entries_.back().field = std::move(field); }
  // The focus went to `field` with a move, known at `at`.
  void moved(std::optional<ElementTarget> field, Time at) { push(Entry{++moves_, at, std::move(field)}); }
  // The focus is now `field` without a move (lost, not known yet, or its element became a password
  // field), as of `at`.
  void changed(std::optional<ElementTarget> field, Time at) { push(Entry{moves_, at, std::move(field)}); }
  // A move was heard whose element is being asked: the focus is not known until it answers.
  void asking(Time at) { push(Entry{moves_, at, std::nullopt, true}); }

  uint64_t moves() const { return moves_; }
  const std::optional<ElementTarget>& now() const { return entries_.back().field; }

  // The first password field the focus was in with move number `move` or a later one up to
  // `lastMove`, or where it was when `move` had not come yet, as known at `deadline`. What is too
  // old to be kept counts from the oldest kept.
  std::optional<ElementTarget> since(uint64_t move, Time deadline, uint64_t lastMove = UINT64_MAX) const {
    size_t last = entries_.size() - 1;
    // Not known by then, or told of a move after the last one: where the focus was before.
    while (last > 0 && (entries_[last].at > deadline || entries_[last].move > lastMove ||
                        (entries_[last].asking && lastMove != UINT64_MAX)))
      --last;
    size_t first = last;
    while (first > 0 && entries_[first - 1].move >= move && entries_[first].move >= move) --first;
    for (size_t i = first; i <= last; ++i)
      if (entries_[i].field) return entries_[i].field;
    return std::nullopt;
  }

 private:
  struct Entry {
    uint64_t move;  // the moves known when it was
    Time at;
    std::optional<ElementTarget> field;
    bool asking = false;
  };
  void push(Entry entry) {
    entries_.push_back(std::move(entry));
    if (entries_.size() > kKept) entries_.pop_front();
  }

  std::deque<Entry> entries_;
  uint64_t moves_ = 0;
};

}  // namespace diruri
