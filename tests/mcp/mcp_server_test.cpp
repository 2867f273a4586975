// handleLine answers compared whole, byte for byte.
#include <gtest/gtest.h>

#include "core/mcp/mcp_server.hpp"
#include "core/mcp/tool_table.hpp"

namespace diruri {
namespace {

constexpr const char* kParseError =
    R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
constexpr const char* kInvalidNullId =
    R"({"error":{"code":-32600,"message":"Invalid Request"},"id":null,"jsonrpc":"2.0"})";
constexpr const char* kInitializeResult =
    R"("result":{"capabilities":{"tools":{}},"protocolVersion":"2025-11-25","serverInfo":{"name":"rodave-zevedo-ziv-azizoz","version":"0.1.0"}}})";

struct LineCase {
  const char* name;
  std::string line;
  std::string answer;
};

class HandleLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(HandleLine, AnswersExactly) {
  McpServer server;
  EXPECT_EQ(server.handleLine(GetParam().line), GetParam().answer);
}

std::string invalidWithId(const std::string& id) {
  return R"({"error":{"code":-32600,"message":"Invalid Request"},"id":)" + id + R"(,"jsonrpc":"2.0"})";
}

INSTANTIATE_TEST_SUITE_P(
    ParseErrors, HandleLine,
    ::testing::Values(LineCase{"Empty", "", kParseError}, LineCase{"Blanks", "   \t ", kParseError},
                      LineCase{"Array", R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", kParseError},
                      LineCase{"String", R"("x")", kParseError}, LineCase{"Number", "1", kParseError},
                      LineCase{"Null", "null", kParseError}, LineCase{"True", "true", kParseError},
                      LineCase{"TrailingComma", R"({"jsonrpc":"2.0","id":1,"method":"ping",})", kParseError},
                      LineCase{"Comment", R"({"jsonrpc":"2.0","id":1,"method":"ping"} // hi)", kParseError},
                      LineCase{"Truncated", R"({"jsonrpc":"2.0","id":1,"meth)", kParseError},
                      LineCase{"InvalidUtf8InString", "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\"}",
                               kParseError},
                      LineCase{"TwoObjects", R"({}{})", kParseError}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    InvalidRequests, HandleLine,
    ::testing::Values(
        LineCase{"EmptyObject", "{}", kInvalidNullId},
        LineCase{"NullId", R"({"jsonrpc":"2.0","id":null,"method":"ping"})", kInvalidNullId},
        LineCase{"BoolIdAlone", R"({"id":true})", kInvalidNullId},
        LineCase{"FractionalIdAlone", R"({"id":1.5})", kInvalidNullId},
        LineCase{"ArrayId", R"({"jsonrpc":"2.0","id":[1],"method":"ping"})", kInvalidNullId},
        LineCase{"ObjectId", R"({"jsonrpc":"2.0","id":{},"method":"ping"})", kInvalidNullId},
        LineCase{"NotificationWithWrongVersion", R"({"jsonrpc":"1.0","method":"notifications/initialized"})",
                 kInvalidNullId},
        LineCase{"NotificationWithoutMethod", R"({"jsonrpc":"2.0"})", kInvalidNullId},
        LineCase{"WrongVersionKeepsId", R"({"jsonrpc":"1.0","id":7,"method":"ping"})", invalidWithId("7")},
        LineCase{"NumericVersion", R"({"jsonrpc":2.0,"id":7,"method":"ping"})", invalidWithId("7")},
        LineCase{"VersionWithSpace", R"({"jsonrpc":"2.0 ","id":7,"method":"ping"})", invalidWithId("7")},
        LineCase{"MissingVersion", R"({"id":"q","method":"ping"})", invalidWithId(R"("q")")},
        LineCase{"EmptyMethodKeepsStringId", R"({"jsonrpc":"2.0","id":"a/b","method":""})",
                 invalidWithId(R"("a\/b")")},
        LineCase{"MethodNotString", R"({"jsonrpc":"2.0","id":-3,"method":5})", invalidWithId("-3")},
        LineCase{"IdOnly", R"({"id":7})", invalidWithId("7")},
        LineCase{"IdFromExponent", R"({"id":7e0})", invalidWithId("7")},
        // Whole numbers beyond 64 bits pass the id check but not the request reading.
        LineCase{"IdAboveInt64", R"({"jsonrpc":"2.0","id":1e19,"method":"ping"})",
                 invalidWithId("9223372036854775807")},
        LineCase{"IdBelowInt64", R"({"jsonrpc":"2.0","id":-18446744073709551616,"method":"ping"})",
                 invalidWithId("-9223372036854775808")},
        LineCase{"IdJustAboveInt64", R"({"jsonrpc":"2.0","id":9223372036854775808,"method":"ping"})",
                 invalidWithId("9223372036854775807")}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Notifications, HandleLine,
    ::testing::Values(
        LineCase{"Initialized", R"({"jsonrpc":"2.0","method":"notifications/initialized"})", ""},
        LineCase{"ToolsCallRunsNothing",
                 R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"event_stream_start"}})", ""},
        LineCase{"BlankMethodIsNotEmpty", R"({"jsonrpc":"2.0","method":"  "})", ""},
        LineCase{"ParamsOfAnyKind", R"({"jsonrpc":"2.0","method":"x","params":[1,2]})", ""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Results, HandleLine,
    ::testing::Values(
        LineCase{"Initialize",
                 R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"1999"}})",
                 std::string(R"({"id":1,"jsonrpc":"2.0",)") + kInitializeResult},
        LineCase{"InitializeWithSurroundingWhitespace",
                 " \t{\"method\":\"initialize\",\"id\":\"i\",\"jsonrpc\":\"2.0\"}  ",
                 std::string(R"({"id":"i","jsonrpc":"2.0",)") + kInitializeResult},
        LineCase{"PingWithWholeFractionId", R"({"jsonrpc":"2.0","id":7.0,"method":"ping"})",
                 R"({"id":7,"jsonrpc":"2.0","result":{}})"},
        LineCase{"PingLargestId", R"({"jsonrpc":"2.0","id":9223372036854775807,"method":"ping"})",
                 R"({"id":9223372036854775807,"jsonrpc":"2.0","result":{}})"},
        LineCase{"UnknownMethod", R"({"jsonrpc":"2.0","id":2,"method":"completion/complete"})",
                 R"({"error":{"code":-32601,"message":"Method not found"},"id":2,"jsonrpc":"2.0"})"},
        LineCase{"MethodCaseSensitive", R"({"jsonrpc":"2.0","id":3,"method":"Initialize"})",
                 R"({"error":{"code":-32601,"message":"Method not found"},"id":3,"jsonrpc":"2.0"})"},
        LineCase{"BlankMethodNotFound", R"({"jsonrpc":"2.0","id":"b","method":" "})",
                 R"({"error":{"code":-32601,"message":"Method not found"},"id":"b","jsonrpc":"2.0"})"},
        LineCase{"DuplicateIdLastWins", R"({"jsonrpc":"2.0","id":true,"id":8,"method":"ping"})",
                 R"({"id":8,"jsonrpc":"2.0","result":{}})"}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr const char* kUnsupported =
    R"("result":{"content":[{"text":"{\"error\":\"unsupported_tool\"}","type":"text"}],"isError":true}})";
constexpr const char* kInvalidParams =
    R"({"error":{"code":-32602,"data":{"reason":"tools\/call needs params with a string name."},"message":"Invalid params"},"id":)";

INSTANTIATE_TEST_SUITE_P(
    ToolCalls, HandleLine,
    ::testing::Values(
        LineCase{"NoParams", R"({"jsonrpc":"2.0","id":9,"method":"tools/call"})",
                 std::string(kInvalidParams) + R"(9,"jsonrpc":"2.0"})"},
        LineCase{"NullParams", R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":null})",
                 std::string(kInvalidParams) + R"(9,"jsonrpc":"2.0"})"},
        LineCase{"ArrayParams",
                 R"({"jsonrpc":"2.0","id":"c","method":"tools/call","params":["replay_stop"]})",
                 std::string(kInvalidParams) + R"("c","jsonrpc":"2.0"})"},
        LineCase{"EmptyParams", R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{}})",
                 std::string(kInvalidParams) + R"(9,"jsonrpc":"2.0"})"},
        LineCase{"NumericName", R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":5}})",
                 std::string(kInvalidParams) + R"(9,"jsonrpc":"2.0"})"},
        LineCase{"NoName", R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"arguments":{}}})",
                 std::string(kInvalidParams) + R"(9,"jsonrpc":"2.0"})"},
        LineCase{"NotInCatalogue",
                 R"({"jsonrpc":"2.0","id":11,"method":"tools/call","params":{"name":"nope","arguments":7}})",
                 std::string(R"({"id":11,"jsonrpc":"2.0",)") + kUnsupported}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(McpServer, KeepsNoStateBetweenLines) {
  McpServer server;
  const std::string list = R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})";
  const std::string init = R"({"jsonrpc":"2.0","id":1,"method":"initialize"})";
  const std::string firstList = server.handleLine(list);
  const std::string firstInit = server.handleLine(init);
  EXPECT_EQ(server.handleLine(init), firstInit);
  EXPECT_EQ(server.handleLine("garbage"), kParseError);
  EXPECT_EQ(server.handleLine(list), firstList);
  EXPECT_EQ(McpServer().handleLine(init), firstInit);
}

TEST(McpServer, ToolsListMatchesTheCatalogueRecordEncoding) {
  // The precomputed answer must be what encoding the response record would give.
  JsonArray tools;
  for (const ToolDefinition& t : toolTable()) tools.push_back(t.toJson());
  JsonRpcResponse r;
  r.id = JsonRpcId{std::string("z")};
  r.result = JsonObject{{"tools", std::move(tools)}};
  EXPECT_EQ(McpServer().handleLine(R"({"jsonrpc":"2.0","id":"z","method":"tools/list"})"),
            writeJson(r.toJson()));
}

TEST(McpServer, ToolPayloadHelpers) {
  EXPECT_EQ(McpServer::encodeToolPayload(JsonObject{{"path", "/a"}, {"b", 1}}), R"({"b":1,"path":"\/a"})");
  EXPECT_EQ(McpServer::encodeToolPayload(JsonObject{{"bad", "\xc3"}}), R"({"error":"encoding_failed"})");
  EXPECT_EQ(writeJson(McpServer::toolContentResult(JsonObject{{"path", "/a"}})),
            R"({"content":[{"text":"{\"path\":\"\\\/a\"}","type":"text"}]})");
  EXPECT_EQ(writeJson(McpServer::toolContentResult(JsonObject{{"error", "x"}, {"status", "y"}})),
            R"({"content":[{"text":"{\"error\":\"x\",\"status\":\"y\"}","type":"text"}],"isError":true})");
}

}  // namespace
}  // namespace diruri
