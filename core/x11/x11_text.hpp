// Window property text (UTF8_STRING, Latin-1 STRING, COMPOUND_TEXT) turned into valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace diruri {

// Each byte is the code point of the same value.
std::string utf8FromLatin1(std::string_view bytes);

// ASCII and Latin-1 segments are decoded, as is a UTF-8 segment (ESC % G ... ESC % @); text in any
// other character set becomes one U+FFFD per character, and direction controls are dropped.
std::string utf8FromCompoundText(std::string_view bytes);

}  // namespace diruri
