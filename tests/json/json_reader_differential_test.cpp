// The reader agrees with an established strict JSON parser on what is JSON and what it holds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "core/json/json_value.hpp"

namespace diruri {
namespace {

JsonValue fromReference(const nlohmann::json& j) {
  switch (j.type()) {
    case nlohmann::json::value_t::null:
      return JsonValue();
    case nlohmann::json::value_t::boolean:
      return JsonValue(j.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return JsonValue(static_cast<long long>(j.get<int64_t>()));
    case nlohmann::json::value_t::number_unsigned: {
      const auto u = j.get<uint64_t>();
      if (u <= static_cast<uint64_t>(INT64_MAX)) return JsonValue(static_cast<long long>(u));
      return JsonValue(static_cast<double>(u));
    }
    case nlohmann::json::value_t::number_float:
      return JsonValue(j.get<double>());
    case nlohmann::json::value_t::string:
      return JsonValue(j.get<std::string>());
    case nlohmann::json::value_t::array: {
      JsonArray a;
      for (const auto& e : j) a.push_back(fromReference(e));
      return JsonValue(std::move(a));
    }
    case nlohmann::json::value_t::object: {
      JsonObject o;
      for (const auto& [k, v] : j.items()) o.insert_or_assign(k, fromReference(v));
      return JsonValue(std::move(o));
    }
    default:
      ADD_FAILURE() << "unexpected kind";
      return JsonValue();
  }
}

void expectSameVerdict(const std::string& text) {
  nlohmann::json reference;
  bool referenceAccepts = true;
  try {
    reference = nlohmann::json::parse(text, nullptr, true, false);
  } catch (const nlohmann::json::exception&) {
    referenceAccepts = false;
  }
  try {
    const JsonValue ours = parseJson(text);
    ASSERT_TRUE(referenceAccepts) << "accepted: " << ::testing::PrintToString(text);
    ASSERT_EQ(ours, fromReference(reference)) << ::testing::PrintToString(text);
  } catch (const JsonParseError&) {
    ASSERT_FALSE(referenceAccepts) << "rejected: " << ::testing::PrintToString(text);
  }
}

TEST(ReaderAgainstReference, HandPickedCases) {
  for (const char* text : {"0",
                           "-0",
                           "-0.0",
                           "1.5e3",
                           "1E+2",
                           "1e-2",
                           "12345678901234567890",
                           "-9223372036854775809",
                           "0.1e1",
                           "1e308",
                           "1e-320",
                           "1e400",
                           "-1e400",
                           "1e-400",
                           "0.0000000001e-399",
                           "1000e-400",
                           "00",
                           "-",
                           "1.e5",
                           "1e",
                           "1e+",
                           "-a",
                           "[-]",
                           "\"\\ud83d\\ude00\"",
                           "\"\\ud83d\"",
                           "\"\\ude00\"",
                           "\"\\ud83d\\u0041\"",
                           "\"\\u00zz\"",
                           "\"\\u12\"",
                           "\"\x7f\"",
                           "\"\xf0\x9f\x98\x80\"",
                           "\"\xed\xa0\x80\"",
                           "\"\xc0\x80\"",
                           "{\"a\":[1,{\"b\":null}],\"c\":\"d\"}",
                           "{\"a\" : 1 , \"b\" :2}",
                           "[1,,2]",
                           "[,]",
                           "{,}",
                           "{\"a\"}",
                           "{\"a\":}",
                           "{1:2}",
                           "[true,false,null]",
                           "[TRUE]",
                           "nulll",
                           " [ ] ",
                           "\n{}\n",
                           "\v{}",
                           "\f{}",
                           "\xc2\xa0{}",
                           "[\"a\"\"b\"]",
                           "{\"a\":1\"b\":2}",
                           "{\"a\":1,\"a\":{}}"}) {
    expectSameVerdict(text);
  }
}

TEST(ReaderAgainstReference, RandomDocuments) {
  std::mt19937 rng(7);
  const std::vector<std::string> pieces = {"{",
                                           "}",
                                           "[",
                                           "]",
                                           ",",
                                           ":",
                                           "\"k\"",
                                           "\"\\u00e9\"",
                                           "\"\\ud83d\\ude00\"",
                                           "\"\\/\\\\\\\"\"",
                                           "\"\xc3\xa9\"",
                                           "0",
                                           "-1",
                                           "1.25",
                                           "2e5",
                                           "-0.5E-3",
                                           "123456789012345678901",
                                           "true",
                                           "false",
                                           "null",
                                           " ",
                                           "\n",
                                           "\t",
                                           "\"",
                                           "\\",
                                           "1.",
                                           "-",
                                           "e",
                                           "\x01",
                                           "\xff",
                                           "\"a\":",
                                           "[1,2]",
                                           "{\"x\":[]}"};
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    const int n = static_cast<int>(rng() % 12) + 1;
    for (int k = 0; k < n; ++k) text += pieces[rng() % pieces.size()];
    expectSameVerdict(text);
  }
}

TEST(ReaderAgainstReference, MutatedValidDocuments) {
  // Single-byte changes to a valid document probe every branch of the grammar near valid input.
  const std::string base =
      R"({"jsonrpc":"2.0","id":-12.5e-1,"method":"tools\/call","params":{"name":"x","arguments":[true,false,null,"\u00e9\ud83d\ude00"]}})";
  const std::string replacements = "{}[]\",:\\/ 0123456789.eE+-tfnulx\x01\x7f";
  for (size_t pos = 0; pos < base.size(); ++pos) {
    for (char c : replacements) {
      std::string text = base;
      text[pos] = c;
      expectSameVerdict(text);
    }
    expectSameVerdict(base.substr(0, pos));
    expectSameVerdict(base.substr(0, pos) + base.substr(pos + 1));
  }
}

}  // namespace
}  // namespace diruri
