// Asking again until an answer comes that the test waits for.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace diruri::test {

// Asks `query` until `done` holds for its answer or the limit passes; returns the last answer.
template <typename T>
T pollUntil(const std::function<T()>& query, const std::function<bool(const T&)>& done,
            std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  T answer = query();
  while (!done(answer) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    answer = query();
  }
  return answer;
}

}  // namespace diruri::test
