// Catches everything written to file descriptors 1 and 2, library output included, so that tests
// can show that a component printed nothing.
#pragma once

#include <string>

namespace diruri::test {

// Captures from construction until text() or destruction. The capture is kept in memory, so
// nothing is written to disk.
class CapturedOutput {
 public:
  CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  ~CapturedOutput() { text(); }

  // Restores the descriptors (once) and returns what was written.
  std::string text();

 private:
  int capture_ = -1;
  int savedOut_ = -1;
  int savedErr_ = -1;
  std::string captured_;
};

}  // namespace diruri::test
