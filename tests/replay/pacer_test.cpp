// The pacing rules of a replay, on a clock of the test's own: when each event is due.
#include "core/replay/pacer.hpp"

#include <gtest/gtest.h>

#include "core/replay/semantic_replayer.hpp"
#include "tests/support/file_tree.hpp"
#include "tests/support/fixed_clock.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/recorder_doubles.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri {
namespace {

using std::chrono::milliseconds;

struct Recorded {
  EventType type;
  int64_t ms;
  int64_t key = 0;
  double x = 0;        // pointer events, on one line
  bool hover = false;  // a move with no button held
};

TEST(Pacer, EachEventIsDueAfterItsRecordedPauseWithinTheRules) {
  using T = EventType;
  const struct {
    const char* rule;
    double speed;
    std::vector<Recorded> events;
    std::vector<int64_t> due;  // ms after the start; -1 for none
  } cases[] = {
      {"speed 1 keeps the pauses",
       1,
       {{T::kMouseDown, 1000}, {T::kMouseUp, 1300}, {T::kScroll, 2300}},
       {0, 300, 1300}},
      {"speed 2 halves them",
       2,
       {{T::kMouseDown, 1000}, {T::kMouseUp, 1300}, {T::kScroll, 2300}},
       {0, 150, 650}},
      {"speed 0 posts at once", 0, {{T::kMouseDown, 1000}, {T::kMouseUp, 9000}}, {-1, -1}},
      {"no pause over 5 s",
       1,
       {{T::kMouseDown, 0}, {T::kMouseUp, 60000}, {T::kScroll, 60100}},
       {0, 5000, 5100}},
      {"keys at least 5 ms apart",
       1,
       {{T::kKeyDown, 10, 38}, {T::kKeyDown, 10, 39}, {T::kKeyUp, 10, 38}},
       {5, 10, 15}},
      {"a time going back is no pause",
       1,
       {{T::kMouseDown, 500}, {T::kMouseUp, 100}, {T::kScroll, 200}},
       {0, 0, 100}},
      {"a short hold slowed down stays short", 0.25, {{T::kKeyDown, 0, 38}, {T::kKeyUp, 200, 38}}, {5, 255}},
      {"a hold that repeated keeps its length", 1, {{T::kKeyDown, 0, 38}, {T::kKeyUp, 900, 38}}, {5, 905}},
      {"a double click slowed down stays double",
       0.25,
       {{T::kMouseDown, 0}, {T::kMouseUp, 50}, {T::kMouseDown, 150, 0, 2}, {T::kMouseUp, 200}},
       {0, 200, 300, 500}},
      {"two clicks 1 s apart at speed 0 stay two",
       0,
       {{T::kMouseDown, 0}, {T::kMouseUp, 50}, {T::kMouseDown, 1050}, {T::kMouseUp, 1100}},
       {-1, -1, 500, -1}},
      {"two clicks apart in place: the pause after a click nothing can be seen of, at most 300 ms",
       0,
       {{T::kMouseDown, 0}, {T::kMouseUp, 50}, {T::kMouseDown, 1050, 0, 9}},
       {-1, -1, 300}},
      {"a drag's moves a few ms apart at speed 0",
       0,
       {{T::kMouseDown, 0}, {T::kMouseMove, 10, 0, 5}, {T::kMouseMove, 20, 0, 9}, {T::kMouseUp, 30, 0, 9}},
       {-1, 4, 8, -1}},
      {"a hover rests as recorded at speed 0, at most 1 s",
       0,
       {{T::kMouseMove, 0, 0, 0, true},
        {T::kMouseDown, 600, 0, 40},
        {T::kMouseMove, 700, 0, 0, true},
        {T::kMouseDown, 9000, 0, 40}},
       {-1, 600, 604, 1604}},
      {"a hover rests 300 ms at least",
       4,
       {{T::kMouseMove, 0, 0, 0, true}, {T::kMouseDown, 400, 0, 40}},
       {0, 300}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    const Pacer::Time start{};
    Pacer pacer(c.speed, start);
    std::vector<int64_t> due;
    for (const Recorded& r : c.events) {
      Planned p;
      p.type = r.type;
      p.monotonicMs = r.ms;
      if (r.key) p.keyCode = r.key;
      if (r.key == 0xff0d) p.keysym = r.key;
      if (isPointerEvent(r.type)) p.point = Point{r.x, 0};
      if (r.type == T::kMouseMove && !r.hover) p.buttons = {1};
      const std::optional<Pacer::Time> at = pacer.dueFor(p);
      due.push_back(at ? std::chrono::duration_cast<milliseconds>(*at - start).count() : -1);
      pacer.posted(p, at.value_or(start));  // posted when due
    }
    EXPECT_EQ(due, c.due);
  }
  // Behind (or after a wait), the pauses after keep their length from then on.
  Pacer pacer(1, Pacer::Time{});
  Planned first, second;
  first.type = EventType::kMouseDown;
  first.monotonicMs = 0;
  second.type = EventType::kMouseUp;
  second.monotonicMs = 100;
  pacer.dueFor(first);
  pacer.restartAt(Pacer::Time{} + milliseconds(2000));
  EXPECT_EQ(*pacer.dueFor(second), Pacer::Time{} + milliseconds(2100));
}

// The replay waits through the clock it is given: pauses are seen on the test's clock, none slept.
TEST(Pacer, TheReplaySleepsThePausesOnItsClock) {
  test::TempDir dir;
  test::writeText(dir / ".zeruva/skills/s/references/events.jsonl",
                  R"({"id":"a","monotonicMs":1000,"type":"mouse_down","payload":{"x":1,"y":2}})"
                  "\n"
                  R"({"id":"b","monotonicMs":3000,"type":"mouse_up","payload":{"x":1,"y":2}})"
                  "\n"
                  R"({"id":"c","monotonicMs":60000,"type":"scroll","payload":{"scrollY":1}})"
                  "\n");
  test::FixedClock clock{0, 0};
  clock.useOwnSteadyTime();
  test::NullPoster poster;
  test::FakeInspector inspector;
  SemanticReplayer replayer(test::realFileSystem(), poster, inspector, {}, clock);
  EXPECT_EQ(replayer.replay(dir.path(), "s", ReplayOptions{.speed = 2}).status, "success");
  EXPECT_EQ(clock.slept(), milliseconds(1000 + 5000));  // half of 2 s, then the 5 s cap
  EXPECT_EQ(poster.posted, 3);
}

}  // namespace
}  // namespace diruri
