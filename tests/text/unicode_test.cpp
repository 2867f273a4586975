// UTF-8 validation and repair, scalar decoding and the white-space trim.
#include <gtest/gtest.h>

#include "core/text/unicode.hpp"

namespace diruri {
namespace {

const std::string kReplacement = "\xef\xbf\xbd";

struct RepairCase {
  const char* name;
  std::string input;
  std::string repaired;
};

class Utf8Repair : public ::testing::TestWithParam<RepairCase> {};

TEST_P(Utf8Repair, ReplacesEachMaximalInvalidSubpart) {
  const RepairCase& c = GetParam();
  EXPECT_EQ(sanitizeUtf8(c.input), c.repaired);
  EXPECT_EQ(isValidUtf8(c.input), c.input == c.repaired);
  EXPECT_TRUE(isValidUtf8(sanitizeUtf8(c.input)));
}

INSTANTIATE_TEST_SUITE_P(
    Unicode, Utf8Repair,
    ::testing::Values(
        RepairCase{"Ascii", "plain {\"a\":1}", "plain {\"a\":1}"}, RepairCase{"EmptyText", "", ""},
        RepairCase{"AllLengthsValid",
                   "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
                   "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        RepairCase{"NulIsValid", std::string("a\0b", 3), std::string("a\0b", 3)},
        RepairCase{"LoneContinuation", "a\x80z", "a" + kReplacement + "z"},
        RepairCase{"TwoContinuations", "\x80\xbf", kReplacement + kReplacement},
        RepairCase{"InvalidLeadBytes", "\xc0\xc1\xf5\xff",
                   kReplacement + kReplacement + kReplacement + kReplacement},
        RepairCase{"OverlongSlash", "\xc0\xaf", kReplacement + kReplacement},
        RepairCase{"OverlongThreeByte", "\xe0\x80\xaf", kReplacement + kReplacement + kReplacement},
        RepairCase{"Surrogate", "\xed\xa0\x80", kReplacement + kReplacement + kReplacement},
        RepairCase{"BeyondU10FFFF", "\xf4\x90\x80\x80",
                   kReplacement + kReplacement + kReplacement + kReplacement},
        // A truncated sequence is one maximal subpart: one replacement, then the next byte is read anew.
        RepairCase{"TruncatedThenAscii", "\xe2\x82z", kReplacement + "z"},
        RepairCase{"TruncatedFourByteAtEnd", "ok\xf0\x9f\x98", "ok" + kReplacement},
        RepairCase{"TruncatedThenValid", "\xe2\x82\xc3\xa9", kReplacement + "\xc3\xa9"},
        RepairCase{"LeadAtEnd", "x\xc3", "x" + kReplacement}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Unicode, InvalidByteFoundAtEveryOffsetOfLongText) {
  // Long ASCII runs are checked in words; a bad or multi-byte sequence must be seen wherever it sits.
  for (size_t at = 0; at < 40; ++at) {
    std::string text(40, 'a');
    text[at] = '\xff';
    EXPECT_FALSE(isValidUtf8(text)) << at;
    EXPECT_EQ(sanitizeUtf8(text), std::string(at, 'a') + kReplacement + std::string(39 - at, 'a'));
    text.replace(at, 1, "\xc3\xa9");
    EXPECT_TRUE(isValidUtf8(text)) << at;
    text.erase(at + 1, 1);  // a lead byte whose continuation is gone
    EXPECT_FALSE(isValidUtf8(text)) << at;
  }
}

TEST(Unicode, DecodesScalars) {
  EXPECT_EQ(decodeUtf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"),
            (std::vector<char32_t>{U'a', 0xE9, 0x20AC, 0x1F600}));
  EXPECT_EQ(decodeUtf8("\xff"
                       "b"),
            (std::vector<char32_t>{0xFFFD, U'b'}));
}

TEST(Unicode, EncodesEveryLengthAndReadsBack) {
  for (char32_t c : {char32_t{0}, char32_t{0x7F}, char32_t{0x80}, char32_t{0x7FF}, char32_t{0x800},
                     char32_t{0xFFFD}, char32_t{0xFFFF}, char32_t{0x10000}, char32_t{0x10FFFF}}) {
    std::string s;
    appendUtf8(s, c);
    EXPECT_TRUE(isValidUtf8(s)) << static_cast<uint32_t>(c);
    EXPECT_EQ(decodeUtf8(s), std::vector<char32_t>{c});
  }
}

TEST(Unicode, TrimRemovesUnicodeWhiteSpaceAtBothEnds) {
  struct Case {
    std::string input;
    std::string trimmed;
  };
  const std::string nbsp = "\xc2\xa0", ideographic = "\xe3\x80\x80", lineSep = "\xe2\x80\xa8",
                    nel = "\xc2\x85", enQuad = "\xe2\x80\x80", hairSpace = "\xe2\x80\x8a";
  for (const Case& c :
       std::initializer_list<Case>{{"", ""},
                                   {"abc", "abc"},
                                   {" \t\r\n\v\f/tmp/ws \n", "/tmp/ws"},
                                   {nbsp + "a b" + ideographic, "a b"},
                                   {lineSep + nel + enQuad + "x" + hairSpace, "x"},
                                   {" \xc3\xa9 ", "\xc3\xa9"},
                                   // Not white space: zero-width space and the byte-order mark stay.
                                   {"\xe2\x80\x8b"
                                    "a",
                                    "\xe2\x80\x8b"
                                    "a"},
                                   {"a\xef\xbb\xbf", "a\xef\xbb\xbf"},
                                   // An invalid byte is not white space and stops the trim.
                                   {" \xff ", "\xff"},
                                   {"\xe3\x80 ", "\xe3\x80"}}) {
    EXPECT_EQ(trimUnicodeWhitespace(c.input), c.trimmed) << ::testing::PrintToString(c.input);
  }
}

TEST(Unicode, Blank) {
  EXPECT_TRUE(isBlank(""));
  EXPECT_TRUE(isBlank(" \n\t"));
  EXPECT_TRUE(isBlank("  \n"));
  EXPECT_TRUE(isBlank("\xc2\xa0\xe2\x80\xa9"));
  EXPECT_FALSE(isBlank(" . "));
  EXPECT_FALSE(isBlank("\xe2\x80\x8b"));
}

}  // namespace
}  // namespace diruri
