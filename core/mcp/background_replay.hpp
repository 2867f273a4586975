// The replay that runs while the server goes on answering: one at a time, on a thread of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/mcp/json_rpc.hpp"
#include "core/recorder/replay_runs.hpp"

namespace diruri {

class BackgroundReplay {
 public:
  // What a running replay reports.
  struct Status {
    std::string runId;
    std::string skillId;
    size_t stepsDone = 0;
    size_t stepsTotal = 0;
    bool stopping = false;  // asked to stop; its run.json and answer are still being written
  };
  // How long a stop waits for the replay's posting to end before it answers.
  static constexpr std::chrono::milliseconds kStopWait{500};
  // How a replay ended: its result, or what it failed with before it could post anything.
  using Finished =
      std::function<void(std::optional<RecorderReplayResult> result, std::exception_ptr failure)>;
  using Progress = std::function<void(size_t done, size_t total)>;

  explicit BackgroundReplay(ReplayRuns& replays);
  // Stops a running replay and waits until it has ended (see finish).
  ~BackgroundReplay();
  BackgroundReplay(const BackgroundReplay&) = delete;
  BackgroundReplay& operator=(const BackgroundReplay&) = delete;

  // Starts the replay for the request `requestId`; `progress` and then `finished` are called on the
  // replay's thread (`finished` not at all when the request is cancelled). False, with nothing
  // started, while another replay runs (until its answer is going out). Main thread only.
  bool start(const JsonRpcId& requestId, const std::string& workspacePath, const std::string& skillId,
             const ReplayOptions& options, Progress progress, Finished finished);

  // The running replay, or none once its answer is going out.
  std::optional<Status> status();

  // Stops the running replay and waits, at most kStopWait, until its posting has ended (its keys
  // released); its run.json and its request's answer follow on its own thread. Its run id and how
  // it ended ("stopped", or the status it reached on its own before the stop); none when no replay
  // was running. Main thread only.
  std::optional<std::pair<std::string, std::string>> stop();

  // Stops the running replay and waits until it has ended whole: keys released, run.json written,
  // its request answered. For the end of the server. Main thread only.
  void finish();

  // Stops the replay of that request, if it is the running one, without waiting; its request is
  // not answered. Main thread only.
  void cancel(const JsonRpcId& requestId);

 private:
  struct Run;
  void collect();

  ReplayRuns& replays_;
  std::mutex mutex_;
  std::shared_ptr<Run> run_;  // the running replay, or one that ended and was not collected yet
  std::thread thread_;
};

}  // namespace diruri
