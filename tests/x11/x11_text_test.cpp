// Window property text in its X encodings, turned into valid UTF-8.
#include "core/x11/x11_text.hpp"

#include <gtest/gtest.h>

#include "core/text/unicode.hpp"

namespace diruri {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(X11Text, Latin1BytesBecomeTheirCodePoints) {
  EXPECT_EQ(utf8FromLatin1("Caf\xE9 \xA9 \xFF"), "Caf\xC3\xA9 \xC2\xA9 \xC3\xBF");
  EXPECT_EQ(utf8FromLatin1("plain"), "plain");
  EXPECT_TRUE(isValidUtf8(utf8FromLatin1(std::string("\x80\x9F\0z", 4))));
}

TEST(X11Text, CompoundTextDecodesAsciiAndLatin1Halves) {
  EXPECT_EQ(utf8FromCompoundText("xterm: ~/src"), "xterm: ~/src");
  // Latin-1's right half is in GR from the start, and again after it is designated explicitly.
  EXPECT_EQ(utf8FromCompoundText("na\xEFve"), "na\xC3\xAFve");
  EXPECT_EQ(utf8FromCompoundText("\x1b(B\x1b-A\xE9t\xE9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(utf8FromCompoundText("a\tb\n"), "a\tb\n");
}

TEST(X11Text, CompoundTextInOtherCharsetsBecomesOneReplacementPerCharacter) {
  // Two JIS X 0208 characters (two bytes each), then back to ASCII.
  EXPECT_EQ(utf8FromCompoundText("x\x1b$(B\x30\x21\x30\x22\x1b(By"), "x" + kFffd + kFffd + "y");
  // Cyrillic right half (ISO 8859-5) is not decodable here.
  EXPECT_EQ(utf8FromCompoundText("\x1b-L\xB0\xB1"), kFffd + kFffd);
  // ... but Latin-1 text after switching back is.
  EXPECT_EQ(utf8FromCompoundText("\x1b-L\xB0\x1b-A\xB0"), kFffd + "\xC2\xB0");
}

TEST(X11Text, CompoundTextUtf8SegmentsAndExtendedSegments) {
  EXPECT_EQ(utf8FromCompoundText("a\x1b%G\xE2\x82\xAC\x1b%@b"),
            "a\xE2\x82\xAC"
            "b");
  // An unterminated UTF-8 segment runs to the end; its invalid bytes are repaired.
  EXPECT_EQ(utf8FromCompoundText("\x1b%G\xE2\x82"), kFffd);
  // Extended segment of 3 bytes in a named encoding: skipped as one replacement.
  EXPECT_EQ(utf8FromCompoundText("a\x1b%/1\x80\x83xyzb"), "a" + kFffd + "b");
}

TEST(X11Text, CompoundTextControlsAndBrokenEscapesStayValid) {
  // Direction controls vanish; other C1 bytes and malformed escapes become replacements.
  EXPECT_EQ(utf8FromCompoundText("\x9b"
                                 "1]ab\x9b]"),
            "ab");
  EXPECT_EQ(utf8FromCompoundText("a\x85z"), "a" + kFffd + "z");
  EXPECT_EQ(utf8FromCompoundText("ok\x1b"), "ok" + kFffd);
  EXPECT_EQ(utf8FromCompoundText("ok\x1b$"), "ok" + kFffd);
  EXPECT_EQ(utf8FromCompoundText("\x1b%/1\x80"), kFffd);
  for (int b = 0; b < 256; ++b) {
    const std::string s = {'\x1b', static_cast<char>(b), '\xE9', static_cast<char>(b), '\x1b'};
    EXPECT_TRUE(isValidUtf8(utf8FromCompoundText(s))) << b;
  }
}

}  // namespace
}  // namespace diruri
