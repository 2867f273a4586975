// Reading a session's events.jsonl line by line.
#include "core/store/event_log.hpp"

#include <cerrno>

#include "core/text/unicode.hpp"

namespace diruri {

void readEventLog(FileSystem& fileSystem, const std::string& path, LogReading reading,
                  const std::function<void(JsonObject&)>& onEvent) {
  readEventLogLines(fileSystem, path, reading, [&onEvent](JsonObject& event, size_t) { onEvent(event); });
}

void readEventLogLines(FileSystem& fileSystem, const std::string& path, LogReading reading,
                       const std::function<void(JsonObject&, size_t lineNumber)>& onEvent) {
  const bool strict = reading == LogReading::Strict;
  std::string text;
  try {
    text = fileSystem.readFile(path);
  } catch (const FileSystemError&) {
    if (strict) throw;
    return;
  }
  forEachEventLine(text, path, reading, onEvent);
}

void forEachEvent(std::string_view text, const std::string& path, LogReading reading,
                  const std::function<void(JsonObject&)>& onEvent) {
  forEachEventLine(text, path, reading, [&onEvent](JsonObject& event, size_t) { onEvent(event); });
}

void forEachEventLine(std::string_view text, const std::string& path, LogReading reading,
                      const std::function<void(JsonObject&, size_t lineNumber)>& onEvent) {
  const bool strict = reading == LogReading::Strict;
  if (!isValidUtf8(text)) {
    if (strict) throw FileSystemError(EILSEQ, "read UTF-8 text", path);
    return;
  }
  size_t start = 0;
  size_t lineNumber = 0;
  while (start < text.size()) {
    ++lineNumber;
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    JsonValue value;
    try {
      value = parseJson(line);
    } catch (const JsonParseError&) {
      if (strict) throw;
      continue;  // a torn or foreign line; the rest still count
    }
    if (value.isObject()) {
      onEvent(value.asObject(), lineNumber);
    } else if (strict && !value.isArray()) {
      throw JsonParseError("log line is not an object or an array");
    }
  }
}

}  // namespace diruri
