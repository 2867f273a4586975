// The reader: strict JSON only, the kinds it builds, exact integers and the nesting limit.
#include <gtest/gtest.h>

#include "core/json/json_value.hpp"

namespace diruri {
namespace {

TEST(Reader, RejectsWhatStrictJsonRejects) {
  for (const char* text : {"",
                           "   ",
                           "\t\r\n",
                           "[1,]",
                           "{\"a\":1,}",
                           "{\"a\":1}// c",
                           "/* c */{}",
                           "{'a':1}",
                           "{a:1}",
                           "[1 2]",
                           "01",
                           "1.",
                           ".5",
                           "+1",
                           "NaN",
                           "Infinity",
                           "tru",
                           "nul",
                           "\"unterminated",
                           "\"tab\there\"",
                           "{\"a\" 1}",
                           "{}{}",
                           "[] x",
                           "\"\\x41\"",
                           "[",
                           "{\"a\":",
                           "\"\xff\"",
                           "\"\xc3\""}) {
    EXPECT_THROW(parseJson(text), JsonParseError) << ::testing::PrintToString(std::string(text));
  }
}

TEST(Reader, AcceptsSurroundingWhitespaceAndEveryKind) {
  const JsonValue v =
      parseJson(" \t\r\n{\"s\":\"x\",\"n\":1.5,\"b\":false,\"o\":{},\"a\":[null],\"z\":null} \n");
  ASSERT_TRUE(v.isObject());
  EXPECT_TRUE(v.find("s")->isString());
  EXPECT_TRUE(v.find("n")->isNumber());
  EXPECT_TRUE(v.find("b")->isBool());
  EXPECT_TRUE(v.find("o")->isObject());
  EXPECT_TRUE(v.find("a")->isArray());
  EXPECT_TRUE(v.find("z")->isNull());
  EXPECT_EQ(v.find("missing"), nullptr);
}

TEST(Reader, BooleansAndNumbersStayApart) {
  EXPECT_EQ(parseJson("true").kind(), JsonValue::Kind::Bool);
  EXPECT_EQ(parseJson("0").kind(), JsonValue::Kind::Number);
  EXPECT_EQ(parseJson("1").kind(), JsonValue::Kind::Number);
  EXPECT_NE(parseJson("1"), parseJson("true"));
  EXPECT_NE(parseJson("0"), parseJson("false"));
}

TEST(Reader, NumbersKeepTheirValue) {
  struct Case {
    const char* text;
    std::optional<int64_t> integral;
  };
  for (const Case& c : std::initializer_list<Case>{{"3", 3},
                                                   {"3.0", 3},
                                                   {"7e0", 7},
                                                   {"-0", 0},
                                                   {"-0.0", 0},
                                                   {"3.5", std::nullopt},
                                                   {"9007199254740993", 9007199254740993LL},
                                                   {"9223372036854775807", INT64_MAX},
                                                   {"-9223372036854775808", INT64_MIN},
                                                   {"9223372036854775808", std::nullopt},
                                                   {"1e19", std::nullopt},
                                                   {"-1e19", std::nullopt}}) {
    EXPECT_EQ(parseJson(c.text).asIntegral(), c.integral) << c.text;
  }
  EXPECT_EQ(parseJson("3"), parseJson("3.0"));
  EXPECT_EQ(parseJson("640.5").asDouble(), 640.5);
}

TEST(Reader, StringEscapesDecodeToUtf8) {
  EXPECT_EQ(parseJson(R"("\/\"\\\b\f\n\r\t")").asString(), "/\"\\\b\f\n\r\t");
  EXPECT_EQ(parseJson(R"("\u00e9\u20ac\ud83d\ude00")").asString(), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(parseJson(R"("a\u0000b")").asString(), std::string("a\0b", 3));
  EXPECT_EQ(parseJson("\"\xc3\xa9\"").asString(), "\xc3\xa9");
}

TEST(Reader, DuplicateKeysKeepTheLastValue) {
  EXPECT_EQ(parseJson(R"({"a":1,"a":2})"), parseJson(R"({"a":2})"));
}

TEST(Reader, NestingLimit) {
  const auto nested = [](int depth, char open, char close) {
    return std::string(static_cast<size_t>(depth), open) + std::string(static_cast<size_t>(depth), close);
  };
  EXPECT_NO_THROW(parseJson(nested(kMaxJsonDepth, '[', ']')));
  EXPECT_THROW(parseJson(nested(kMaxJsonDepth + 1, '[', ']')), JsonParseError);
  std::string objects;
  for (int i = 0; i <= kMaxJsonDepth; ++i) objects += "{\"a\":";
  objects += "1" + std::string(static_cast<size_t>(kMaxJsonDepth) + 1, '}');
  EXPECT_THROW(parseJson(objects), JsonParseError);
  // Far beyond the limit must fail cleanly too, not exhaust the stack.
  EXPECT_THROW(parseJson(nested(1'000'000, '[', ']')), JsonParseError);
}

TEST(Reader, WriterOutputReadsBackEqual) {
  const char* docs[] = {
      R"({"id":9223372036854775807,"list":[1,2.5,"x\/y",{"k":[true,false,null]}],"s":"\u00e9"})",
      R"([[],{},"",0,-1,1e-300])",
  };
  for (const char* d : docs) {
    const JsonValue v = parseJson(d);
    EXPECT_EQ(parseJson(writeJson(v)), v) << d;
  }
}

}  // namespace
}  // namespace diruri
