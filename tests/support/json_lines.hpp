// Text split into lines, and a JSON-lines file (an event log, a server's answers) read whole.
#pragma once

#include <string>
#include <vector>

#include "core/json/json_value.hpp"
#include "tests/support/temp_dir.hpp"

namespace diruri::test {

// The lines without their line feeds; a last line without one counts too.
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Every line of the file, parsed; a line that is no JSON throws JsonParseError.
inline std::vector<JsonValue> readJsonLines(const std::string& path) {
  std::vector<JsonValue> values;
  for (const std::string& line : splitLines(readText(path))) values.push_back(parseJson(line));
  return values;
}

}  // namespace diruri::test
