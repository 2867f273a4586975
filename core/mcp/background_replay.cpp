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
  std::atomic<bool> running{true};
  std::atomic<bool> cancelled{false};
  std::string endStatus;  // set by the replay's thread before `running` turns false
  // Set before the replay's answer goes out: a status asked after that answer says idle.
  std::atomic<bool> ended{false};
};

BackgroundReplay::BackgroundReplay(RecorderController& recorder) : recorder_(recorder) {}

BackgroundReplay::~BackgroundReplay() { stop(); }

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
    if (run_ && run_->running) return false;
  }
  collect();  // the thread of a replay that ended on its own
  auto run = std::make_shared<Run>();
  run->requestId = requestId;
  run->planned = recorder_.planReplay(workspacePath, skillId);
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
      result = recorder_.runReplay(run->planned, run->options, &run->control);
      run->endStatus = result->status;
    } catch (...) {
      failure = std::current_exception();
      run->endStatus = "failed";
    }
    // The answer goes out before the replay counts as ended, so that a stop that waits for the
    // end has its own answer follow the replay's.
    run->ended = true;
    if (!run->cancelled) finished(std::move(result), failure);
    run->running = false;
  });
  return true;
}

std::optional<BackgroundReplay::Status> BackgroundReplay::status() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!run_ || !run_->running || run_->ended) return std::nullopt;
  return Status{run_->planned.runId, run_->planned.skillId, run_->control.stepsDone(),
                run_->control.stepsTotal()};
}

std::optional<std::pair<std::string, std::string>> BackgroundReplay::stop() {
  std::shared_ptr<Run> run;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run = run_;
  }
  // A replay whose answer is going out has ended: the stop finds nothing to stop, and its own
  // answer follows the replay's once the thread is collected.
  if (!run || !run->running || run->ended) {
    collect();
    return std::nullopt;
  }
  run->control.requestStop();
  collect();
  return std::make_pair(run->planned.runId, run->endStatus);
}

void BackgroundReplay::cancel(const JsonRpcId& requestId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!run_ || !run_->running || !(run_->requestId == requestId)) return;
  run_->cancelled = true;
  run_->control.requestStop();
}

}  // namespace diruri
