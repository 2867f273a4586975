// Reading a session's events.jsonl: the one reader behind the summary, the replay and every other
// reader of the log, so that they agree on what a line is.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "core/json/json_value.hpp"
#include "core/platform/file_system.hpp"

namespace diruri {

enum class LogReading {
  // What a reader of a live or damaged log wants: a log that is missing, unreadable or not UTF-8
  // has no lines, and a line that is not a JSON object is passed over.
  Lenient,
  // What the replay wants, which must not act on half a recording: the read error, FileSystemError
  // (EILSEQ) for text that is not UTF-8, or the JsonParseError of the first line that is neither
  // JSON nor an array or object, is thrown. Lines holding an array are passed over.
  Strict,
};

// Calls onEvent with each non-empty line that is a JSON object, in file order; the object may be
// taken over. The log is read whole once, and only one line is held parsed at a time.
void readEventLog(FileSystem& fileSystem, const std::string& path, LogReading reading,
                  const std::function<void(JsonObject&)>& onEvent);

// The same, with each line's number in the file (from 1).
void readEventLogLines(FileSystem& fileSystem, const std::string& path, LogReading reading,
                       const std::function<void(JsonObject&, size_t lineNumber)>& onEvent);

// The same over a log already read whole (`path` only names it in errors).
void forEachEvent(std::string_view text, const std::string& path, LogReading reading,
                  const std::function<void(JsonObject&)>& onEvent);
void forEachEventLine(std::string_view text, const std::string& path, LogReading reading,
                      const std::function<void(JsonObject&, size_t lineNumber)>& onEvent);

}  // namespace diruri
