// Reading a session's events.jsonl line by line, in pieces.
#include "core/store/event_log.hpp"

#include <cerrno>
#include <cstring>

#include "core/text/unicode.hpp"

namespace diruri {

namespace {

constexpr size_t kPieceBytes = 1 << 20;

// Hands each line of text that arrives in pieces to `onLine`, with its number; a line may span
// pieces, and a last line needs no line feed.
class LineSplitter {
 public:
  explicit LineSplitter(std::function<void(std::string_view, size_t)> onLine) : onLine_(std::move(onLine)) {}

  void feed(std::string_view piece) {
    while (!piece.empty()) {
      const void* found = std::memchr(piece.data(), '\n', piece.size());
      if (!found) {
        partial_.append(piece);
        return;
      }
      const size_t at = static_cast<size_t>(static_cast<const char*>(found) - piece.data());
      if (partial_.empty()) {
        onLine_(piece.substr(0, at), ++number_);
      } else {
        partial_.append(piece.substr(0, at));
        onLine_(partial_, ++number_);
        partial_.clear();
      }
      piece.remove_prefix(at + 1);
    }
  }
  void finish() {
    if (!partial_.empty()) onLine_(partial_, ++number_);
    partial_.clear();
  }

 private:
  std::function<void(std::string_view, size_t)> onLine_;
  std::string partial_;
  size_t number_ = 0;
};

// Parses the lines that `feedAll` hands to a splitter.
void parseLines(const std::function<void(LineSplitter&)>& feedAll, const std::string& path,
                LogReading reading, const EventHandler& onEvent) {
  const bool strict = reading == LogReading::Strict;
  LineSplitter splitter([&](std::string_view text, size_t number) {
    if (text.empty()) return;
    if (strict && !isValidUtf8(text)) throw FileSystemError(EILSEQ, "read UTF-8 text", path);
    JsonValue value;
    try {
      value = parseJson(text);
    } catch (const JsonParseError&) {
      if (strict) throw;
      return;  // a torn or foreign line; the rest still count
    }
    if (value.isObject()) {
      EventLine line{number, text, {}};
      RecordingEvent event = RecordingEvent::fromJson(std::move(value.asObject()), &line.problem);
      onEvent(event, line);
    } else if (strict && !value.isArray()) {
      throw JsonParseError("log line is not an object or an array");
    }
  });
  feedAll(splitter);
  splitter.finish();
}

}  // namespace

void readEvents(FileSystem& fileSystem, const std::string& path, LogReading reading,
                const EventHandler& onEvent) {
  const bool strict = reading == LogReading::Strict;
  try {
    if (!strict) {
      // A lenient reader takes a log that is not UTF-8 as having no lines: one pass to tell first.
      bool valid = true;
      LineSplitter check([&valid](std::string_view text, size_t) { valid = valid && isValidUtf8(text); });
      fileSystem.readFileInPieces(path, kPieceBytes, [&check](std::string_view piece) { check.feed(piece); });
      check.finish();
      if (!valid) return;
    }
    parseLines(
        [&](LineSplitter& splitter) {
          fileSystem.readFileInPieces(path, kPieceBytes,
                                      [&splitter](std::string_view piece) { splitter.feed(piece); });
        },
        path, reading, onEvent);
  } catch (const FileSystemError&) {
    if (strict) throw;
  }
}

void readEventsIn(std::string_view text, const std::string& path, LogReading reading,
                  const EventHandler& onEvent) {
  if (!isValidUtf8(text)) {
    if (reading == LogReading::Strict) throw FileSystemError(EILSEQ, "read UTF-8 text", path);
    return;
  }
  parseLines([text](LineSplitter& splitter) { splitter.feed(text); }, path, reading, onEvent);
}

}  // namespace diruri
