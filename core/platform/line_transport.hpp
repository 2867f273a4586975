// Lines in and lines out over two file descriptors: the framing of the stdio protocol, apart from
// what answers the lines, so that it can be driven in process over pipes.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace diruri {

// Reads from `input` and writes to `output`; neither is closed. Bytes that are not UTF-8 are
// repaired before a line is handed on, and a line's CR before its LF is dropped.
class LineTransport {
 public:
  // Why run() returned.
  enum class End {
    kInputEnded,    // end of input (or a read error)
    kSignal,        // a signal arrived on the signal descriptor; signal() says which
    kOutputClosed,  // the reader of the output went away
  };

  // `signals`: a signalfd whose signals end the loop, or -1 for none.
  LineTransport(int input, int output, int signals = -1);
  ~LineTransport();
  LineTransport(const LineTransport&) = delete;
  LineTransport& operator=(const LineTransport&) = delete;

  // Writes one line (a line feed is added) in one go; any thread may call it, and lines never
  // interleave. Once the reader has gone away, lines are dropped and run() returns kOutputClosed.
  void write(std::string line);

  // Hands each line to `answer` and writes what it returns ("" for nothing), until the input ends,
  // a signal arrives or the output closes. A last line without a line feed is handled too.
  End run(const std::function<std::string(std::string_view line)>& answer);

  int signal() const { return signal_; }

 private:
  void handle(std::string_view line, bool endedWithLineFeed,
              const std::function<std::string(std::string_view)>& answer);

  int input_;
  int output_;
  int signals_;
  int wake_;  // an eventfd raised when the output closes, so that run() wakes
  std::mutex writeMutex_;
  std::atomic<bool> outputClosed_{false};
  int signal_ = 0;
};

}  // namespace diruri
