// UTF-8 checks and repair, scalar decoding, and the Unicode white-space trim used across the system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace diruri {

bool isValidUtf8(std::string_view bytes);

// Every maximal invalid subsequence becomes U+FFFD; valid input comes back unchanged.
std::string sanitizeUtf8(std::string_view bytes);

// The Unicode scalars of valid UTF-8 (invalid sequences decode as U+FFFD).
std::vector<char32_t> decodeUtf8(std::string_view bytes);

// The first `maxScalars` characters of valid UTF-8 text, whole; `cut` says whether any were left out.
std::string firstScalars(std::string_view text, size_t maxScalars, bool* cut = nullptr);

void appendUtf8(std::string& out, char32_t scalar);

// White space and line breaks in the Unicode sense (Zs, Zl, Zp, tab and the C0/C1 line breaks).
bool isUnicodeWhitespaceOrNewline(char32_t scalar);

// The text without white space and line breaks at either end.
std::string_view trimUnicodeWhitespace(std::string_view text);

// True when nothing is left after trimming.
inline bool isBlank(std::string_view text) { return trimUnicodeWhitespace(text).empty(); }

// Text from the desktop or a workspace (a window title, an element's name, typed text) made fit to
// stand inside a document an agent reads: control characters (C0, DEL, C1), bidirectional
// overrides and marks, and noncharacters are removed, line and paragraph breaks and tabs become
// spaces, and text longer than `maxScalars` is cut there and ends in "…".
std::string cleanData(std::string_view text, size_t maxScalars);

// The same, as a double-quoted string literal that it cannot close: '"' and '\' are escaped.
std::string quotedData(std::string_view text, size_t maxScalars);

}  // namespace diruri
