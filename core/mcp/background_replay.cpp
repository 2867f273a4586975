// The replay that runs while the server goes on answering.
#include "core/mcp/background_replay.hpp"

#include <atomic>
#include <utility>

namespace diruri {

struct BackgroundReplay::Run {
  JsonRpcId requestId;
  ReplayRun planned;
  ReplayOptions options;
  ReplayControl control;
  std::atomic<bool> cancelled{false};
  std::atomic<bool> stopAsked{false};
  // Set before the replay's answer goes out: from then on a status says idle and a new replay is
  // accepted (the thread only has to end).
  std::atomic<bool> ended{false};
};

BackgroundReplay::BackgroundReplay(ReplayRuns& replays) : replays_(replays) {}

BackgroundReplay::~BackgroundReplay() { finish(); }

void BackgroundReplay::collect() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  run_.reset();
}

bool BackgroundReplay::start(const JsonRpcId& requestId, const std::string& workspacePath,
                             const std::string& skillId, const ReplayOptions& options, Progress progress,
                             Finished finished) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (run_ && !run_->ended) return false;
  }
  collect();  // the thread of a replay that has been answered: it is ending, if not gone
  auto run = std::make_shared<Run>();
  run->requestId = requestId;
  run->planned = replays_.plan(workspacePath, skillId);
  run->options = options;
  run->control.onProgress = std::move(progress);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run_ = run;
  }
  thread_ = std::thread([this, run, finished = std::move(finished)] {
    std::optional<RecorderReplayResult> result;
    std::exception_ptr failure;
    try {
      result = replays_.run(run->planned, run->options, &run->control);
    } catch (...) {
      failure = std::current_exception();
      run->control.settle("failed");  // a stop waiting for the outcome learns it at once
    }
    run->ended = true;
    if (!run->cancelled) finished(std::move(result), failure);
  });
  return true;
}

std::optional<BackgroundReplay::Status> BackgroundReplay::status() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!run_ || run_->ended) return std::nullopt;
  return Status{run_->planned.runId, run_->planned.skillId, run_->control.stepsDone(),
                run_->control.stepsTotal(), run_->stopAsked};
}

std::optional<std::pair<std::string, std::string>> BackgroundReplay::stop() {
  std::shared_ptr<Run> run;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run = run_;
  }
  // A replay whose answer is going out has ended: there is nothing to stop.
  if (!run || run->ended) return std::nullopt;
  run->stopAsked = true;
  // Its posting ends at once; its run.json and answer follow on its own thread, however long a
  // recording makes them, while the server goes on answering.
  return std::make_pair(run->planned.runId, run->control.stopAndWait(kStopWait));
}

void BackgroundReplay::finish() {
  std::shared_ptr<Run> run;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run = run_;
  }
  if (run) run->control.requestStop();
  collect();
}

void BackgroundReplay::cancel(const JsonRpcId& requestId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!run_ || run_->ended || !(run_->requestId == requestId)) return;
  run_->cancelled = true;
  run_->stopAsked = true;
  run_->control.requestStop();
}

}  // namespace diruri
