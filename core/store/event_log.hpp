// Reading a session's events.jsonl: the one reader behind the summary, the replay, the skill steps
// and every other reader of the log, so that they agree on what a line is.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "core/platform/file_system.hpp"
#include "core/records/recording_event.hpp"

namespace diruri {

enum class LogReading {
  // What a reader of a live or damaged log wants: a log that is missing, unreadable or not UTF-8
  // has no lines, and a line that is not a JSON object is passed over.
  Lenient,
  // What the replay wants, which must not act on half a recording: the read error, FileSystemError
  // (EILSEQ) for a line that is not UTF-8, or the JsonParseError of the first line that is neither
  // JSON nor an array or object, is thrown. Lines holding an array are passed over.
  Strict,
};

// One line of the log as it was read.
struct EventLine {
  size_t number = 0;      // from 1
  std::string_view text;  // as written, without its line feed
  // What of the line could not be read (see RecordingEvent::fromJson); "" when all of it could.
  std::string problem;
};

using EventHandler = std::function<void(RecordingEvent& event, const EventLine& line)>;

// Calls onEvent with the event of each non-empty line that is a JSON object, in file order, one at
// a time; the event may be taken over. The log is read in pieces and never held whole.
void readEvents(FileSystem& fileSystem, const std::string& path, LogReading reading,
                const EventHandler& onEvent);

// The same over a log already in memory (`path` only names it in errors).
void readEventsIn(std::string_view text, const std::string& path, LogReading reading,
                  const EventHandler& onEvent);

}  // namespace diruri
