// Reading requests and ids, and writing the answer records.
#include <gtest/gtest.h>

#include "core/mcp/json_rpc.hpp"

namespace diruri {
namespace {

TEST(JsonRpcId, IntegersStringsAndNothingElse) {
  EXPECT_EQ(JsonRpcId::fromJson(parseJson("3")), JsonRpcId{int64_t{3}});
  EXPECT_EQ(JsonRpcId::fromJson(parseJson("3.0")), JsonRpcId{int64_t{3}});
  EXPECT_EQ(JsonRpcId::fromJson(parseJson("7e0")), JsonRpcId{int64_t{7}});
  EXPECT_EQ(JsonRpcId::fromJson(parseJson("-9223372036854775808")), JsonRpcId{INT64_MIN});
  EXPECT_EQ(JsonRpcId::fromJson(parseJson("\"3\"")), JsonRpcId{std::string("3")});
  EXPECT_NE(JsonRpcId::fromJson(parseJson("\"3\"")), JsonRpcId::fromJson(parseJson("3")));
  for (const char* bad : {"3.5", "1e19", "9223372036854775808", "true", "null", "[]", "{}"}) {
    try {
      JsonRpcId::fromJson(parseJson(bad));
      ADD_FAILURE() << bad << " was accepted";
    } catch (const JsonRpcDecodeError& e) {
      EXPECT_STREQ(e.what(), "Expected string or integer JSON-RPC id") << bad;
    }
  }
}

TEST(JsonRpcRequest, ReadsMembersAndTreatsNullAsAbsent) {
  const JsonRpcRequest full = JsonRpcRequest::fromJson(
      parseJson(R"({"jsonrpc":"2.0","id":"x","method":"m","params":{"a":[1]},"extra":true})"));
  EXPECT_EQ(full.jsonrpc, "2.0");
  EXPECT_EQ(full.id, JsonRpcId{std::string("x")});
  EXPECT_EQ(full.method, "m");
  EXPECT_EQ(full.params, parseJson(R"({"a":[1]})"));

  const JsonRpcRequest nulls =
      JsonRpcRequest::fromJson(parseJson(R"({"jsonrpc":"1.0","id":null,"method":"","params":null})"));
  EXPECT_EQ(nulls.id, std::nullopt);
  EXPECT_EQ(nulls.params, std::nullopt);
  EXPECT_EQ(nulls, JsonRpcRequest::fromJson(parseJson(R"({"jsonrpc":"1.0","method":""})")));
}

TEST(JsonRpcRequest, FailsOnMissingOrMistypedMembers) {
  for (const char* bad :
       {R"([])", R"("x")", R"({})", R"({"method":"m"})", R"({"jsonrpc":2,"method":"m"})",
        R"({"jsonrpc":"2.0"})", R"({"jsonrpc":"2.0","method":null})",
        R"({"jsonrpc":"2.0","method":"m","id":1.5})", R"({"jsonrpc":"2.0","method":"m","id":false})"}) {
    EXPECT_THROW(JsonRpcRequest::fromJson(parseJson(bad)), JsonRpcDecodeError) << bad;
  }
}

TEST(JsonRpcRecords, WriteOnlyPresentFieldsInKeyOrder) {
  JsonRpcResponse withResult;
  withResult.id = JsonRpcId{int64_t{1}};
  withResult.result =
      JsonObject{{"tools", JsonArray{}}, {"capabilities", JsonObject{}}, {"protocolVersion", "v"}};
  EXPECT_EQ(writeJson(withResult.toJson()),
            R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{},"protocolVersion":"v","tools":[]}})");

  JsonRpcResponse withError;
  withError.id = JsonRpcId{std::string("a/b")};
  withError.error = JsonRpcError{-32602, "Invalid params"};
  EXPECT_EQ(writeJson(withError.toJson()),
            R"({"error":{"code":-32602,"message":"Invalid params"},"id":"a\/b","jsonrpc":"2.0"})");

  JsonRpcResponse bare;
  EXPECT_EQ(writeJson(bare.toJson()), R"({"jsonrpc":"2.0"})");

  InvalidRequestResponse invalid;
  EXPECT_EQ(writeJson(invalid.toJson()),
            R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})");
  invalid.id = ResponseId::from(JsonRpcId{INT64_MIN});
  EXPECT_EQ(
      writeJson(invalid.toJson()),
      R"({"error":{"code":-32600,"message":"Invalid Request"},"id":-9223372036854775808,"jsonrpc":"2.0"})");
  invalid.id = ResponseId::from(JsonRpcId{std::string("s")});
  EXPECT_EQ(writeJson(invalid.toJson()),
            R"({"error":{"code":-32600,"message":"Invalid Request"},"id":"s","jsonrpc":"2.0"})");

  EXPECT_EQ(writeJson(ParseErrorResponse{}.toJson()),
            R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
}

TEST(JsonRpcRecords, UnwritableAnswerFallsBackToFixedText) {
  JsonRpcResponse r;
  r.id = JsonRpcId{std::string("\xff")};
  r.result = JsonObject{};
  EXPECT_EQ(encodeAnswer(r.toJson()),
            R"({"error":{"code":-32603,"message":"Internal error"},"id":null,"jsonrpc":"2.0"})");
  r.id = JsonRpcId{int64_t{4}};
  r.result = JsonObject{{"x", std::numeric_limits<double>::infinity()}};
  EXPECT_EQ(encodeAnswer(r.toJson()), kInternalErrorAnswer);
}

}  // namespace
}  // namespace diruri
