// The protocol as the executable speaks it to clients of each revision, answer lines compared whole:
// version negotiation, the modern revision's discovery and per-request metadata, unknown methods,
// the empty lists, titled and annotated tools, and errors that say why.
#include <gtest/gtest.h>

#include "tests/support/json_lines.hpp"
#include "tests/support/process_runner.hpp"

namespace diruri {
namespace {

using namespace diruri::test;

constexpr const char* kServerInfo = R"({"name":"rodave-zevedo-ziv-azizoz","version":"0.1.0"})";
// What every result of the modern revision carries besides its own members.
const std::string kModernMeta =
    std::string(R"("_meta":{"io.modelcontextprotocol\/serverInfo":)") + kServerInfo + "}";
const std::string kModernRequestMeta =
    R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{}})";

std::string initializeAnswer(const std::string& id, const std::string& version) {
  return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":")" +
         version + R"(","serverInfo":)" + kServerInfo + "}}";
}

// The tool list as the agent must see it, written out by hand.
const std::string kTools =
    R"("tools":[)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},"description":"Start capturing native UI events for a record and replay session.","inputSchema":{"additionalProperties":false,"properties":{"sessionName":{"description":"Optional human-readable recording label.","type":"string"},"workspacePath":{"description":"Absolute workspace path where recording files should be written.","type":"string"}},"required":["workspacePath"],"type":"object"},"name":"event_stream_start","title":"Start recording"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true},"description":"Report the current native event stream capture status.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"event_stream_status","title":"Recording status"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},"description":"Stop native UI event capture and finalize the current recording.","inputSchema":{"additionalProperties":false,"properties":{"sessionId":{"description":"Identifier of the session to stop; defaults to the running one.","type":"string"},"workspacePath":{"description":"Absolute workspace path of the session to stop.","type":"string"}},"type":"object"},"name":"event_stream_stop","title":"Stop recording"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true},"description":"Report native macOS permissions visible to the record and replay helper.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"permission_status","title":"Permission status"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},"description":"Generate a skill draft from a completed native event recording.","inputSchema":{"additionalProperties":false,"properties":{"sessionId":{"description":"Identifier of a stopped recording session.","type":"string"},"skillId":{"description":"Identifier for the new skill; defaults to the session summary's recommendedSkillId.","type":"string"},"workspacePath":{"description":"Absolute workspace path that holds the recording.","type":"string"}},"required":["workspacePath","sessionId"],"type":"object"},"name":"generate_skill_from_recording","title":"Generate skill from recording"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},"description":"Install a generated record and replay skill into the local skill store.","inputSchema":{"additionalProperties":false,"properties":{"destination":{"description":"Skills folder to install into; defaults to the local skill store.","type":"string"},"skillId":{"description":"Generated skill id to install.","type":"string"},"workspacePath":{"description":"Absolute workspace path that holds the generated skill.","type":"string"}},"required":["workspacePath","skillId"],"type":"object"},"name":"install_generated_skill","title":"Install generated skill"},)"
    R"({"annotations":{"destructiveHint":true,"idempotentHint":false,"openWorldHint":true,"readOnlyHint":false},"description":"Start replaying a previously generated native automation skill.","inputSchema":{"additionalProperties":false,"properties":{"skillId":{"description":"Generated skill id to replay.","type":"string"},"speed":{"description":"Playback speed relative to the recording: 1 keeps the recorded pauses, 2 halves them, 0 posts events back to back.","type":"number"},"workspacePath":{"description":"Absolute workspace path where replay files should be written.","type":"string"}},"required":["workspacePath","skillId"],"type":"object"},"name":"replay_skill","title":"Replay skill"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true},"description":"Report the current native replay session status.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"replay_status","title":"Replay status"},)"
    R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":false},"description":"Stop the active native replay session.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"replay_stop","title":"Stop replay"})"
    R"(])";

struct Exchange {
  std::string request;
  std::string answer;  // "" when none is due
};

TEST(ProtocolRevisions, EachRequestGetsItsExactAnswer) {
  const std::string supported = R"(["2026-07-28","2025-11-25","2025-06-18","2024-11-05"])";
  const std::vector<Exchange> exchanges = {
      // The initialize handshake, answered in the client's revision when this server speaks it.
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
       initializeAnswer("1", "2024-11-05")},
      {R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
       initializeAnswer("2", "2025-06-18")},
      {R"({"jsonrpc":"2.0","id":3,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})",
       initializeAnswer("3", "2025-11-25")},
      {R"({"jsonrpc":"2.0","id":"i","method":"initialize","params":{"protocolVersion":"2025-03-26"}})",
       initializeAnswer(R"("i")", "2025-11-25")},
      {R"({"jsonrpc":"2.0","id":4,"method":"initialize"})", initializeAnswer("4", "2025-11-25")},
      // Methods this server does not carry out.
      {R"({"jsonrpc":"2.0","id":5,"method":"logging/setLevel","params":{"level":"info"}})",
       R"({"error":{"code":-32601,"message":"Method not found"},"id":5,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":"x/1","method":"Initialize"})",
       R"({"error":{"code":-32601,"message":"Method not found"},"id":"x\/1","jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","method":"notifications/anything"})", ""},
      // The lists clients ask for whatever is advertised.
      {R"({"jsonrpc":"2.0","id":6,"method":"resources/list"})",
       R"({"id":6,"jsonrpc":"2.0","result":{"resources":[]}})"},
      {R"({"jsonrpc":"2.0","id":7,"method":"resources/templates/list"})",
       R"({"id":7,"jsonrpc":"2.0","result":{"resourceTemplates":[]}})"},
      {R"({"jsonrpc":"2.0","id":8,"method":"prompts/list"})",
       R"({"id":8,"jsonrpc":"2.0","result":{"prompts":[]}})"},
      {R"({"jsonrpc":"2.0","id":9,"method":"tools/list"})",
       R"({"id":9,"jsonrpc":"2.0","result":{)" + kTools + "}}"},
      // The modern revision: discovery, and requests that name their revision in _meta.
      {R"({"jsonrpc":"2.0","id":10,"method":"server/discover","params":{)" + kModernRequestMeta + "}}",
       R"({"id":10,"jsonrpc":"2.0","result":{)" + kModernMeta +
           R"(,"cacheScope":"public","capabilities":{"tools":{}},"resultType":"complete","serverInfo":)" +
           kServerInfo + R"(,"supportedVersions":)" + supported + R"(,"ttlMs":3600000}})"},
      {R"({"jsonrpc":"2.0","id":11,"method":"tools/list","params":{)" + kModernRequestMeta + "}}",
       R"({"id":11,"jsonrpc":"2.0","result":{)" + kModernMeta +
           R"(,"cacheScope":"public","resultType":"complete",)" + kTools + R"(,"ttlMs":3600000}})"},
      {R"({"jsonrpc":"2.0","id":12,"method":"prompts/list","params":{)" + kModernRequestMeta + "}}",
       R"({"id":12,"jsonrpc":"2.0","result":{)" + kModernMeta +
           R"(,"cacheScope":"public","prompts":[],"resultType":"complete","ttlMs":3600000}})"},
      {R"({"jsonrpc":"2.0","id":13,"method":"ping","params":{)" + kModernRequestMeta + "}}",
       R"({"id":13,"jsonrpc":"2.0","result":{)" + kModernMeta + R"(,"resultType":"complete"}})"},
      {R"({"jsonrpc":"2.0","id":14,"method":"tools/call","params":{"name":"replay_stop",)" +
           kModernRequestMeta + "}}",
       R"({"id":14,"jsonrpc":"2.0","result":{)" + kModernMeta +
           R"(,"content":[{"text":"{\"status\":\"idle\"}","type":"text"}],"resultType":"complete"}})"},
      {R"({"jsonrpc":"2.0","id":15,"method":"tools/call","params":{"name":"no_such_tool",)" +
           kModernRequestMeta + "}}",
       R"({"id":15,"jsonrpc":"2.0","result":{)" + kModernMeta +
           R"(,"content":[{"text":"{\"error\":\"unsupported_tool\"}","type":"text"}],"isError":true,"resultType":"complete"}})"},
      // The same requests without _meta are the older revisions' and get their answers.
      {R"({"jsonrpc":"2.0","id":16,"method":"ping"})", R"({"id":16,"jsonrpc":"2.0","result":{}})"},
      {R"({"jsonrpc":"2.0","id":17,"method":"tools/call","params":{"name":"no_such_tool"}})",
       R"({"id":17,"jsonrpc":"2.0","result":{"content":[{"text":"{\"error\":\"unsupported_tool\"}","type":"text"}],"isError":true}})"},
      // A revision this server does not speak, and modern requests missing what they must carry.
      {R"({"jsonrpc":"2.0","id":18,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2099-01-01","io.modelcontextprotocol/clientCapabilities":{}}}})",
       R"({"error":{"code":-32022,"data":{"requested":"2099-01-01","supported":)" + supported +
           R"(},"message":"Unsupported protocol version"},"id":18,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":19,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})",
       R"({"error":{"code":-32602,"data":{"reason":"The _meta member io.modelcontextprotocol\/clientCapabilities is required."},"message":"Invalid params"},"id":19,"jsonrpc":"2.0"})"},
      // Errors that say why.
      {R"({"jsonrpc":"2.0","id":20,"method":"tools/call","params":{"name":"event_stream_start","arguments":{"workspacePath":" "}}})",
       R"({"error":{"code":-32602,"data":{"reason":"The argument workspacePath is blank."},"message":"Invalid params"},"id":20,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":22,"method":"tools/call","params":{"name":"replay_skill","arguments":{"workspacePath":"/w","skillId":"s","speed":-1}}})",
       R"({"error":{"code":-32602,"data":{"reason":"The argument speed must be a number from 0 up."},"message":"Invalid params"},"id":22,"jsonrpc":"2.0"})"},
      // A replay runs while the server goes on answering, so its answer comes last here.
      {R"({"jsonrpc":"2.0","id":21,"method":"tools/call","params":{"name":"replay_skill","arguments":{"workspacePath":"/nonexistent","skillId":"mail"}}})",
       R"({"error":{"code":-32000,"data":{"reason":"The skill \"mail\" was not found in \/nonexistent\/.zeruva\/skills or \/nonexistent-data\/diruri-rediro\/skills."},"message":"Internal error"},"id":21,"jsonrpc":"2.0"})"},
  };
  std::string input;
  std::vector<std::string> expected;
  for (const Exchange& e : exchanges) {
    input += e.request + "\n";
    if (!e.answer.empty()) expected.push_back(e.answer);
  }
  ProcessOptions options;
  options.args = {"mcp"};
  options.stdinData = input;
  options.environment["DISPLAY"] = std::nullopt;
  options.environment["XDG_DATA_HOME"] = "/nonexistent-data";
  const ProcessResult r = runProcess(DIRURI_EXECUTABLE, options);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.exited && r.exitStatus == 0);
  const std::vector<std::string> answers = splitLines(r.out);
  ASSERT_EQ(answers.size(), expected.size()) << r.out;
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(answers[i], expected[i]) << "answer " << i + 1;
}

}  // namespace
}  // namespace diruri
