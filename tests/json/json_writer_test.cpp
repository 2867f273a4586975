// The writer's text form: key order, escaping, numbers and both layouts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/json/json_value.hpp"

namespace diruri {
namespace {

struct WriteCase {
  const char* name;
  JsonValue value;
  std::string compact;
};

class CompactWriting : public ::testing::TestWithParam<WriteCase> {};

TEST_P(CompactWriting, WritesExactText) {
  EXPECT_EQ(writeJson(GetParam().value, JsonLayout::Compact), GetParam().compact);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, CompactWriting,
    ::testing::Values(
        WriteCase{"KeysSortedAtEveryLevel",
                  JsonObject{
                      {"tools", 1}, {"capabilities", JsonObject{{"z", 1}, {"a", 2}}}, {"protocolVersion", 3}},
                  R"({"capabilities":{"a":2,"z":1},"protocolVersion":3,"tools":1})"},
        // Byte order: upper case before lower case, and a prefix before its extensions.
        WriteCase{"KeysByBytes", JsonObject{{"b", 1}, {"B", 2}, {"ab", 3}, {"a", 4}},
                  R"({"B":2,"a":4,"ab":3,"b":1})"},
        WriteCase{"NonAsciiKeysAfterAscii", JsonObject{{"\xc3\xa9", 1}, {"z", 2}},
                  "{\"z\":2,\"\xc3\xa9\":1}"},
        WriteCase{"ArrayOrderKept", JsonArray{3, "b", "a", nullptr, true, false},
                  R"([3,"b","a",null,true,false])"},
        WriteCase{"Empties", JsonObject{{"a", JsonArray{}}, {"o", JsonObject{}}, {"s", ""}},
                  R"({"a":[],"o":{},"s":""})"},
        WriteCase{"SolidusEscaped", "/tmp/a", R"("\/tmp\/a")"},
        WriteCase{"QuoteAndBackslash", "say \"hi\" \\ ok", R"("say \"hi\" \\ ok")"},
        WriteCase{"NamedControlEscapes", "\b\f\n\r\t", R"("\b\f\n\r\t")"},
        WriteCase{"OtherControlsAsUnicodeEscapes", std::string("\x00\x01\x1f\x7f", 4),
                  "\"\\u0000\\u0001\\u001f\x7f\""},
        WriteCase{"Utf8PassesThrough", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xe2\x80\xa8",
                  "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xe2\x80\xa8\""},
        WriteCase{"KeysEscapedLikeStrings", JsonObject{{"a/b", 1}}, R"({"a\/b":1})"},
        WriteCase{"WholeDoubleWithoutFraction", 412.0, "412"}, WriteCase{"NegativeWholeDouble", -3.0, "-3"},
        WriteCase{"NegativeZero", -0.0, "0"}, WriteCase{"Fraction", 640.5, "640.5"},
        WriteCase{"ShortestRoundTrip", 0.1, "0.1"},
        WriteCase{"ShortestRoundTripThird", 1.0 / 3.0, "0.3333333333333333"},
        WriteCase{"LargestExactDoubleInteger", 9007199254740992.0 - 1.0, "9007199254740991"},
        WriteCase{"Int64Max", JsonValue(9223372036854775807LL), "9223372036854775807"},
        WriteCase{"Int64Min", JsonValue(-9223372036854775807LL - 1), "-9223372036854775808"},
        WriteCase{"IntegerBeyondDoublePrecision", JsonValue(9007199254740993LL), "9007199254740993"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Writer, LargeAndTinyDoublesReadBackTheSame) {
  for (double d : {1e20, 1.5e300, 1e-7, -2.5e-300, 123456789.125, 4.9e-324}) {
    const std::string text = writeJson(JsonValue(d));
    EXPECT_EQ(parseJson(text).asDouble(), d) << text;
    EXPECT_EQ(text.find_first_of(" \n"), std::string::npos) << text;
  }
}

TEST(Writer, RejectsWhatJsonCannotCarry) {
  EXPECT_THROW(writeJson(JsonValue(std::numeric_limits<double>::quiet_NaN())), JsonEncodeError);
  EXPECT_THROW(writeJson(JsonValue(std::numeric_limits<double>::infinity())), JsonEncodeError);
  EXPECT_THROW(writeJson(JsonValue(-std::numeric_limits<double>::infinity())), JsonEncodeError);
  for (const char* bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    EXPECT_THROW(writeJson(JsonValue(bad)), JsonEncodeError) << ::testing::PrintToString(bad);
    EXPECT_THROW(writeJson(JsonObject{{bad, 1}}), JsonEncodeError) << "as key";
    EXPECT_THROW(writeJson(JsonArray{1, JsonObject{{"k", bad}}}), JsonEncodeError) << "nested";
  }
}

TEST(Writer, PrettyLayout) {
  const JsonValue doc = JsonObject{
      {"name", "rec/1"},
      {"steps", JsonArray{JsonObject{{"y", 2}, {"x", 1.5}}, JsonArray{}, JsonObject{}}},
      {"empty", JsonObject{}},
      {"flag", true},
  };
  EXPECT_EQ(writeJson(doc, JsonLayout::Pretty),
            "{\n"
            "  \"empty\" : {},\n"
            "  \"flag\" : true,\n"
            "  \"name\" : \"rec\\/1\",\n"
            "  \"steps\" : [\n"
            "    {\n"
            "      \"x\" : 1.5,\n"
            "      \"y\" : 2\n"
            "    },\n"
            "    [],\n"
            "    {}\n"
            "  ]\n"
            "}");
  EXPECT_EQ(writeJson(JsonValue(7), JsonLayout::Pretty), "7");
  EXPECT_EQ(writeJson(JsonArray{}, JsonLayout::Pretty), "[]");
}

TEST(Writer, PrettyAndCompactReadBackEqual) {
  const JsonValue doc =
      JsonObject{{"a", JsonArray{1, "two\nlines", JsonObject{{"b", nullptr}}}}, {"c", -0.25}};
  EXPECT_EQ(parseJson(writeJson(doc, JsonLayout::Pretty)), doc);
  EXPECT_EQ(parseJson(writeJson(doc, JsonLayout::Compact)), doc);
}

}  // namespace
}  // namespace diruri
