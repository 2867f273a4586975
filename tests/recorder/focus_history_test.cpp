// The focus a key is judged by: the first password field since the move it waited for, as known at
// its deadline, however late it is asked.
#include "core/capture/focus_history.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/recorder/key_redaction.hpp"

namespace diruri {
namespace {

using std::chrono::milliseconds;

TEST(FocusHistory, AKeyIsJudgedByWhatWasKnownAtItsDeadline) {
  const FocusHistory::Time t0{};
  const ElementTarget pin{"password text", "PIN", {}, std::nullopt};
  const ElementTarget other{"password text", "Other", {}, std::nullopt};
  // Moves: 1 to a plain field at 100 ms, 2 to PIN at 2,000 ms (lost at 2,500 ms), 3 to Other at 3,000 ms.
  FocusHistory h;
  h.changed(std::nullopt, t0 + milliseconds(90));  // heard, its element still being asked
  h.moved(std::nullopt, t0 + milliseconds(100));
  h.changed(std::nullopt, t0 + milliseconds(1990));
  h.moved(pin, t0 + milliseconds(2000));
  h.changed(std::nullopt, t0 + milliseconds(2500));
  h.moved(other, t0 + milliseconds(3000));
  const struct {
    const char* name;
    uint64_t move;
    int deadlineMs;
    std::optional<std::string> field;
  } cases[] = {
      {"typed after move 1, asked after PIN came: not PIN", 1, 600, std::nullopt},
      {"waiting for a move that had not come: the focus at the deadline", 5, 600, std::nullopt},
      {"typed after move 2", 2, 2200, "PIN"},
      {"typed after move 2, the focus left PIN before the deadline", 2, 2700, "PIN"},
      {"typed after move 3", 3, 3400, "Other"},
      {"no move awaited, the focus at the deadline", 9, 2200, "PIN"},
  };
  for (const auto& c : cases) {
    const std::optional<ElementTarget> got = h.since(c.move, t0 + milliseconds(c.deadlineMs));
    EXPECT_EQ(got ? got->name : std::nullopt, c.field) << c.name;
  }
  // Before any move, the seed; a history longer than is kept counts from its oldest.
  FocusHistory seeded;
  seeded.seed(pin);
  EXPECT_EQ(seeded.since(1, t0)->name, "PIN");
  for (int i = 0; i < 100; ++i)
    seeded.moved(i == 0 ? std::optional(other) : std::nullopt, t0 + milliseconds(i));
  EXPECT_EQ(seeded.since(1, t0 + milliseconds(1000)), std::nullopt);
  EXPECT_EQ(seeded.moves(), 100u);
}

// A click into the field that has the focus moves none: its keys must not take the move of the Tab
// or click after them, which the moves heard before that input bound.
TEST(FocusHistory, KeysTakeNoMoveOfTheInputAfterThem) {
  const FocusHistory::Time t0{};
  FocusHistory h;
  h.seed(std::nullopt);                           // the plain field the click went into
  h.asking(t0 + std::chrono::milliseconds(160));  // the Tab after the keys, at 150 ms
  h.moved(ElementTarget{"password text", "Secret", {}, std::nullopt}, t0 + std::chrono::milliseconds(170));
  EXPECT_EQ(h.since(1, t0 + std::chrono::milliseconds(500), 0), std::nullopt);
  EXPECT_EQ(h.since(1, t0 + std::chrono::milliseconds(500))->name, "Secret");  // no input came after
}

// Moves heard at the given times, each told at once.
class HeardMoves : public FocusWatching {
 public:
  std::vector<FocusHistory::Time> heardAt;
  std::optional<FocusMoves> focusMoves() override { return FocusMoves{heardAt.size(), heardAt.size()}; }
  uint64_t movesHeardBefore(FocusHistory::Time when) override {
    return std::count_if(heardAt.begin(), heardAt.end(), [&](FocusHistory::Time t) { return t <= when; });
  }
};

// An application may tell the focus an input gave before the input is delivered: that move is the
// input's own, not one of the input before it, where the input's time is known.
TEST(KeyRedaction, AMoveToldBeforeItsInputIsDeliveredIsThatInputs) {
  const FocusHistory::Time t0{};
  const CapturedInputEvent click{{.x = 10, .y = 10}, EventType::kMouseDown};
  const CapturedInputEvent letter{{.keyCode = 43, .keysym = 0x68, .text = "h"}, EventType::kKeyDown};
  const CapturedInputEvent tab{{.keyCode = 23, .keysym = 0xff09}, EventType::kKeyDown};
  for (const bool timeKnown : {true, false}) {
    const auto happened = [&](int ms) {
      return timeKnown ? std::optional<FocusHistory::Time>(t0 + milliseconds(ms)) : std::nullopt;
    };
    HeardMoves moves;
    KeyRedaction redaction(moves, true);
    // A click into the field that has the focus (no move), a key, then a Tab at 200 ms whose move
    // is heard at 202 ms and the Tab delivered at 205 ms.
    redaction.judge(click, t0, happened(0));
    const std::optional<KeyRedaction::Judgement> typed =
        redaction.judge(letter, t0 + milliseconds(50), happened(50));
    moves.heardAt.push_back(t0 + milliseconds(202));
    redaction.judge(tab, t0 + milliseconds(205), happened(200));
    ASSERT_TRUE(typed && typed->lastMove);
    EXPECT_EQ(typed->lastMove->load(), timeKnown ? 0u : 1u) << timeKnown;
    // A click whose move is heard before it is delivered: the keys after it take that move.
    HeardMoves clicked;
    KeyRedaction afterClick(clicked, true);
    clicked.heardAt.push_back(t0 + milliseconds(1));
    afterClick.judge(click, t0 + milliseconds(3), happened(0));
    const std::optional<KeyRedaction::Judgement> after =
        afterClick.judge(letter, t0 + milliseconds(50), happened(50));
    ASSERT_TRUE(after && after->afterMove);
    EXPECT_EQ(*after->afterMove, timeKnown ? 1u : 2u) << timeKnown;
  }
}

}  // namespace
}  // namespace diruri
