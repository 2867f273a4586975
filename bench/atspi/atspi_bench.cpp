// One accessibility snapshot against a running GTK application, beside the same query made with
// pyatspi in a running process. Starts its own accessible desktop (Xvfb, openbox, session bus,
// AT-SPI bus) and application; prints both medians and their ratio after the benchmarks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/atspi/accessibility_inspector.hpp"
#include "core/atspi/atspi_focus.hpp"
#include "core/mcp/default_graph.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/file_system.hpp"
#include "tests/support/accessible_desktop.hpp"
#include "tests/support/real_file_system.hpp"
#include "tests/support/x11_inspector.hpp"

namespace diruri {
namespace {

using namespace std::chrono_literals;

pid_t gAppPid = -1;
constexpr int kSamples = 2000;

void BM_FocusedRoles(benchmark::State& state) {
  const AtspiFocus focus(x11AccessibilityBus());
  for (auto _ : state) benchmark::DoNotOptimize(focus.query(gAppPid));
}
BENCHMARK(BM_FocusedRoles)->Unit(benchmark::kMicrosecond);

void BM_AccessibilitySnapshot(benchmark::State& state) {
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  for (auto _ : state) benchmark::DoNotOptimize(inspector.accessibilitySnapshot());
}
BENCHMARK(BM_AccessibilitySnapshot)->Unit(benchmark::kMicrosecond);

// The element under a click on the application's button, as the recorder looks it up for each
// click; and the same button found again by role and name, as a replay does.
std::vector<int> gButton;
void BM_ElementAtClick(benchmark::State& state) {
  const AtspiFocus focus(x11AccessibilityBus());
  size_t found = 0;
  for (auto _ : state) {
    const auto target = focus.elementAt(gAppPid, gButton[0] + gButton[2] / 2.0, gButton[1] + gButton[3] / 2.0,
                                        std::chrono::steady_clock::now() + AtspiFocus::kDefaultBudget);
    found += target && target->role == "push button";
  }
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ElementAtClick)->Unit(benchmark::kMicrosecond);

void BM_FindElementAgain(benchmark::State& state) {
  const AtspiFocus focus(x11AccessibilityBus());
  const ElementTarget wanted{"push button", "Send", {}, std::nullopt};
  size_t found = 0;
  for (auto _ : state) found += focus.findElement(gAppPid, wanted).found.has_value();
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FindElementAgain)->Unit(benchmark::kMicrosecond);

template <typename F>
double medianMillis(F&& once) {
  std::vector<double> times;
  times.reserve(kSamples);
  for (int i = 0; i < kSamples; ++i) {
    const auto begin = std::chrono::steady_clock::now();
    once();
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
  }
  std::nth_element(times.begin(), times.begin() + kSamples / 2, times.end());
  return times[kSamples / 2];
}

}  // namespace
}  // namespace diruri

int main(int argc, char** argv) {
  using namespace diruri;
  benchmark::Initialize(&argc, argv);
  test::AccessibleDesktop desktop;
  if (const std::string error = desktop.start(); !error.empty()) {
    std::fprintf(stderr, "bench_atspi: %s\n", error.c_str());
    return 1;
  }
  test::FixtureApp app;
  if (const std::string error = app.start("Focus Probe"); !error.empty()) {
    std::fprintf(stderr, "bench_atspi: %s\n", error.c_str());
    return 1;
  }
  gAppPid = app.pid();
  gButton = app.where("Send");
  // The application registers with the registry on its own time.
  const FocusedRoles expected{"frame", "text", "Query"};
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (AtspiFocus(x11AccessibilityBus()).query(gAppPid) != expected &&
         std::chrono::steady_clock::now() < deadline) {
  }
  AccessibilityInspector inspector = test::x11Inspector(systemClock());
  const auto snapshot = inspector.accessibilitySnapshot();
  if (!snapshot || snapshot->focusedElementRole != expected.elementRole) {
    std::fprintf(stderr, "bench_atspi: the snapshot does not see the application's focused entry\n");
    return 1;
  }

  benchmark::RunSpecifiedBenchmarks();

  const double ours = medianMillis([&] { benchmark::DoNotOptimize(inspector.accessibilitySnapshot()); });
  const double rolesOnly =
      medianMillis([&] { benchmark::DoNotOptimize(AtspiFocus(x11AccessibilityBus()).query(gAppPid)); });
  test::ChildOptions quietErrors;
  quietErrors.err = test::ChildStream::Null;
  std::optional<test::ChildProcess> python;
  try {
    python.emplace(
        std::vector<std::string>{"/usr/bin/python3",
                                 std::string(DIRURI_SOURCE_DIR) + "/bench/atspi/pyatspi_focus_query.py",
                                 std::to_string(gAppPid), std::to_string(kSamples)},
        quietErrors);
  } catch (const std::system_error&) {
    std::fprintf(stderr, "bench_atspi: python3 could not be started\n");
    return 1;
  }
  const std::string answer = python->readLine(120s).value_or("");
  const std::string median = python->readLine(120s).value_or("");
  if (answer != "('frame', 'text', 'Query')" || median.empty()) {
    std::fprintf(stderr, "bench_atspi: pyatspi answered '%s' '%s' (is python3-pyatspi installed?)\n",
                 answer.c_str(), median.c_str());
    return 1;
  }
  const double anchor = std::stod(median);
  std::printf("median of %d, ms: snapshot %.4f (roles alone %.4f), pyatspi %.4f; snapshot/pyatspi %.2f\n",
              kSamples, ours, rolesOnly, anchor, ours / anchor);
  benchmark::Shutdown();
  return 0;
}
