// What the accessibility tests share: one desktop per process, output capture and polling.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "tests/support/accessible_desktop.hpp"

namespace diruri::test {

// One desktop for the whole test process, started at first use and stopped after the last test:
// the accessibility library stays bound to the first bus it finds, so a second one would not be seen.
inline AccessibleDesktop*& sharedDesktopSlot() {
  static AccessibleDesktop* desktop = nullptr;
  return desktop;
}

class SharedDesktopEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    delete sharedDesktopSlot();
    sharedDesktopSlot() = nullptr;
  }
};

// Empty on success, else why the desktop could not be started.
inline std::string startSharedDesktop() {
  static std::string failure;
  if (sharedDesktopSlot() == nullptr && failure.empty()) {
    ::testing::AddGlobalTestEnvironment(new SharedDesktopEnvironment);
    sharedDesktopSlot() = new AccessibleDesktop;
    failure = sharedDesktopSlot()->start();
    if (!failure.empty()) failure = "accessible desktop: " + failure;
  }
  return failure;
}

// Everything written to file descriptors 1 and 2 while it lives, library output included.
class CapturedOutput {
 public:
  CapturedOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    file_ = std::tmpfile();
    savedOut_ = ::dup(1);
    savedErr_ = ::dup(2);
    ::dup2(::fileno(file_), 1);
    ::dup2(::fileno(file_), 2);
  }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  ~CapturedOutput() { text(); }

  // Restores the descriptors (once) and returns what was written.
  std::string text() {
    if (file_ != nullptr) {
      std::fflush(stdout);
      std::fflush(stderr);
      ::dup2(savedOut_, 1);
      ::dup2(savedErr_, 2);
      ::close(savedOut_);
      ::close(savedErr_);
      std::rewind(file_);
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) captured_.append(buf, n);
      std::fclose(file_);
      file_ = nullptr;
    }
    return captured_;
  }

 private:
  std::FILE* file_ = nullptr;
  int savedOut_ = -1;
  int savedErr_ = -1;
  std::string captured_;
};

// Asks `query` until `done` holds for its answer or the limit passes; returns the last answer.
// The application registers with the accessibility registry on its own time, after it is shown.
template <typename T>
T pollUntil(const std::function<T()>& query, const std::function<bool(const T&)>& done,
            std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  T answer = query();
  while (!done(answer) && std::chrono::steady_clock::now() < deadline) answer = query();
  return answer;
}

}  // namespace diruri::test
