// The protocol as the server speaks it to clients of each revision, answer lines compared whole:
// version negotiation, the modern revision's discovery and per-request metadata, unknown methods,
// the empty lists, titled and annotated tools, and errors that say why.
#include <gtest/gtest.h>

#include "core/mcp/mcp_server.hpp"
#include "tests/support/json_lines.hpp"
#include "tests/support/scoped_environment.hpp"

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
const std::
    string
        kTools =
            R"("tools":[)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},"description":"Start recording what the person does on this Linux desktop (X11 or Wayland): clicks, keys and scrolls, each with the application and window in front, into a new session below <workspacePath>\/.zeruva\/, with a screenshot and an accessibility snapshot at the start. Keys typed into password fields are not kept. `warnings` says what cannot be recorded here. Stop it with event_stream_stop.","inputSchema":{"additionalProperties":false,"properties":{"sessionName":{"description":"Optional human-readable recording label.","type":"string"},"workspacePath":{"description":"Absolute workspace path where recording files should be written.","type":"string"}},"required":["workspacePath"],"type":"object"},"name":"event_stream_start","title":"Start recording"},)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true},"description":"Report whether a recording runs, its session, whether input is being captured, and what cannot be recorded here (`warnings`).","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"event_stream_status","title":"Recording status"},)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},"description":"Stop the running recording (or close a session an earlier server left open): takes the stop screenshot and snapshot and writes summary.json; the session id then goes to generate_skill_from_recording.","inputSchema":{"additionalProperties":false,"properties":{"sessionId":{"description":"Identifier of the session to stop; defaults to the running one.","type":"string"},"workspacePath":{"description":"Absolute workspace path of the session to stop.","type":"string"}},"type":"object"},"name":"event_stream_stop","title":"Stop recording"},)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true},"description":"Report what this server can reach on this Linux desktop: accessibilityTrusted (X11: the display in DISPLAY opens and offers the RECORD extension; Wayland: the accessibility bus answers), screenCaptureAllowed (screenshots can be taken), inputCaptureActive (a recording is capturing input now).","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"permission_status","title":"Permission status"},)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},"description":"Turn a stopped recording session into a skill folder .zeruva\/skills\/<skillId>\/: SKILL.md with the steps in words, and the recorded events to replay. Never replaces an existing skill.","inputSchema":{"additionalProperties":false,"properties":{"sessionId":{"description":"Identifier of a stopped recording session.","type":"string"},"skillId":{"description":"Identifier of the new skill, its folder's name: 1 to 64 lowercase letters, digits and hyphens, not starting or ending with a hyphen, without \"--\"; defaults to the summary's recommendedSkillId.","type":"string"},"workspacePath":{"description":"Absolute workspace path that holds the recording.","type":"string"}},"required":["workspacePath","sessionId"],"type":"object"},"name":"generate_skill_from_recording","title":"Generate skill from recording"},)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":false,"openWorldHint":false,"readOnlyHint":false},"description":"Copy a generated skill into the local skill store ($XDG_DATA_HOME\/diruri-rediro\/skills) or another folder, so that it replays from any workspace; an installed copy of that id is replaced whole.","inputSchema":{"additionalProperties":false,"properties":{"destination":{"description":"Skills folder to install into; defaults to the local skill store.","type":"string"},"skillId":{"description":"Generated skill id to install.","type":"string"},"workspacePath":{"description":"Absolute workspace path that holds the generated skill.","type":"string"}},"required":["workspacePath","skillId"],"type":"object"},"name":"install_generated_skill","title":"Install generated skill"},)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true},"description":"List the skills an agent can replay: those of the workspace (when workspacePath is given) and those installed in the local skill store, each with its id, its SKILL.md description (recorded text, quoted as data), where it lives (\"workspace\" or \"store\"), its folder and its parameters (name, description, secret, and the recorded default of one that is not secret), which replay_skill's arguments give.","inputSchema":{"additionalProperties":false,"properties":{"workspacePath":{"description":"Absolute workspace path whose .zeruva\/skills to list too.","type":"string"}},"type":"object"},"name":"list_skills","title":"List skills"},)"
            R"({"annotations":{"destructiveHint":true,"idempotentHint":false,"openWorldHint":true,"readOnlyHint":false},"description":"Replay a skill's recorded clicks, keys and scrolls on this desktop, paced as recorded, each into the window it was made in (clicks find their element again), and check what the recording observed after its steps (a field's text, a toggle's state, the window in front). The answer gives each step's status and check, `checks` and `verified` (every step replayed and every check passed), and for a failed step a `handover` (its words, element, screenshot and the elements near it) to do it by hand and go on with fromStep; replay_status and replay_stop work meanwhile. A skill's parameters (the texts typed into its fields, and its passwords, which must be given) are listed by list_skills, in its SKILL.md and in its references\/steps.json and parameters.json; `arguments` gives them other texts.","inputSchema":{"additionalProperties":false,"properties":{"arguments":{"additionalProperties":{"type":"string"},"description":"Texts for the skill's parameters, by name (see list_skills or its SKILL.md): each is typed into its field instead of what was recorded, and that field's check expects it. Secret parameters (passwords) are required; their values are typed and never written anywhere.","type":"object"},"fromStep":{"description":"Replay from this step of the skill's references\/steps.json (numbered from 0), skipping those before it, which are reported \"skipped\" with the reason \"before fromStep\": after doing a failed step by hand.","type":"integer"},"skillId":{"description":"Generated skill id to replay.","type":"string"},"speed":{"description":"Playback speed relative to the recording: 1 (the default) keeps the recorded pauses, 2 halves them, 0 goes as fast as the applications allow (each step still waits until its window, element, focus and check are ready); 0 or 0.01 to 100.","type":"number"},"workspacePath":{"description":"Absolute workspace path where replay files should be written.","type":"string"}},"required":["workspacePath","skillId"],"type":"object"},"name":"replay_skill","title":"Replay skill"},)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":true},"description":"Report whether a replay runs: its run id, its skill and how many of its steps are done.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"replay_status","title":"Replay status"},)"
            R"({"annotations":{"destructiveHint":false,"idempotentHint":true,"openWorldHint":false,"readOnlyHint":false},"description":"Stop the running replay: what it holds pressed is released and its run.json written.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"replay_stop","title":"Stop replay"})"
            R"(])";

struct Exchange {
  std::string request;
  std::string answer;  // "" when none is due
};

// One server per connection, in this process and without a display, as the executable serves
// stdin line by line (tests/process/stdio_loop_test.cpp covers the framing); the answers in order.
std::vector<std::string> serve(const std::vector<Exchange>& exchanges, std::vector<std::string>& expected) {
  const ScopedEnvironment environment(
      {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"XDG_DATA_HOME", "/nonexistent-data"}});
  McpServer server;
  std::vector<std::string> answers;
  for (const Exchange& e : exchanges) {
    if (!e.answer.empty()) expected.push_back(e.answer);
    std::string answer = server.handleLine(e.request);
    if (!answer.empty()) answers.push_back(std::move(answer));
  }
  return answers;
}

void expectAnswers(const std::vector<Exchange>& exchanges) {
  std::vector<std::string> expected;
  const std::vector<std::string> answers = serve(exchanges, expected);
  ASSERT_EQ(answers.size(), expected.size()) << testing::PrintToString(answers);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(answers[i], expected[i]) << "answer " << i + 1;
}

TEST(ProtocolRevisions, EachRequestGetsItsExactAnswer) {
  const std::string supported = R"(["2026-07-28","2025-11-25","2025-06-18","2024-11-05"])";
  const std::vector<Exchange> exchanges = {
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
       R"({"error":{"code":-32602,"message":"Unknown tool: no_such_tool"},"id":15,"jsonrpc":"2.0"})"},
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
       R"({"error":{"code":-32602,"data":{"reason":"The argument speed must be 0 (as fast as the applications allow) or a number from 0.01 to 100 (1 keeps the recorded pauses, 2 halves them)."},"message":"Invalid params"},"id":22,"jsonrpc":"2.0"})"},
      // A replay runs while the server goes on answering, so its answer comes last here.
      {R"({"jsonrpc":"2.0","id":21,"method":"tools/call","params":{"name":"replay_skill","arguments":{"workspacePath":"/nonexistent","skillId":"mail"}}})",
       R"({"error":{"code":-32000,"data":{"reason":"The skill \"mail\" was not found in \/nonexistent\/.zeruva\/skills or \/nonexistent-data\/diruri-rediro\/skills."},"message":"Internal error"},"id":21,"jsonrpc":"2.0"})"},
  };
  expectAnswers(exchanges);
}

TEST(ProtocolRevisions, InitializeAnswersInTheClientsRevisionWhenItIsOneThisServerSpeaks) {
  expectAnswers({
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
       initializeAnswer("1", "2024-11-05")},
      {R"({"jsonrpc":"2.0","id":2,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
       initializeAnswer("2", "2025-06-18")},
      {R"({"jsonrpc":"2.0","id":3,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})",
       initializeAnswer("3", "2025-11-25")},
      {R"({"jsonrpc":"2.0","id":"i","method":"initialize","params":{"protocolVersion":"2025-03-26"}})",
       initializeAnswer(R"("i")", "2025-11-25")},
      {R"({"jsonrpc":"2.0","id":4,"method":"initialize"})", initializeAnswer("4", "2025-11-25")},
  });
}

// Clients show their model the text of a tool result but only the message of an error: from
// 2025-06-18 on a failed call is a result that says why, and an unknown tool an error of its own.
TEST(ProtocolRevisions, FailedCallsAreToolResultsThatSayWhyFromTheRevisionsThatAskForIt) {
  const std::string blank = "The argument workspacePath is blank.";
  const std::string missing =
      R"(The skill \"mail\" was not found in \/nonexistent\/.zeruva\/skills or \/nonexistent-data\/diruri-rediro\/skills.)";
  const auto call = [](int id, const std::string& params, const std::string& meta) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{)" +
           params + meta + "}}";
  };
  const auto result = [](int id, const std::string& reason, const std::string& meta) {
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{)" + meta +
           R"("content":[{"text":")" + reason + R"(","type":"text"}],"isError":true)" +
           (meta.empty() ? "" : R"(,"resultType":"complete")") + "}}";
  };
  const auto error = [](int id, int code, const std::string& message, const std::string& reason) {
    return R"({"error":{"code":)" + std::to_string(code) + R"(,"data":{"reason":")" + reason +
           R"("},"message":")" + message + R"("},"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0"})";
  };
  const std::string unknownAsPayload =
      R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"{\"error\":\"unsupported_tool\"}","type":"text"}],"isError":true}})";
  const std::string unknownAsError =
      R"({"error":{"code":-32602,"message":"Unknown tool: no_such_tool"},"id":3,"jsonrpc":"2.0"})";
  const std::string badCall = R"("name":"event_stream_start","arguments":{"workspacePath":" "})";
  const std::string failingCall =
      R"("name":"replay_skill","arguments":{"workspacePath":"/nonexistent","skillId":"mail"})";
  const std::string unknownCall = R"("name":"no_such_tool")";
  const struct {
    std::string revision;  // initialize's; "" for none
    bool asResults;
  } connections[] = {
      {"", false}, {"2024-11-05", false}, {"2025-06-18", true}, {"2025-11-25", true}, {"2099-01-01", true}};
  for (const auto& c : connections) {
    SCOPED_TRACE(c.revision);
    std::vector<Exchange> exchanges;
    if (!c.revision.empty()) {
      exchanges.push_back({R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":")" +
                               c.revision + "\"}}",
                           initializeAnswer("0", c.revision == "2099-01-01" ? "2025-11-25" : c.revision)});
    }
    exchanges.push_back({call(1, badCall, ""),
                         c.asResults ? result(1, blank, "") : error(1, -32602, "Invalid params", blank)});
    exchanges.push_back({call(3, unknownCall, ""), c.asResults ? unknownAsError : unknownAsPayload});
    // A replay is answered when it ends, after the lines that follow it.
    exchanges.push_back({call(2, failingCall, ""),
                         c.asResults ? result(2, missing, "") : error(2, -32000, "Internal error", missing)});
    expectAnswers(exchanges);
  }
  // The modern revision, which names itself in every request.
  const std::string meta = "," + kModernRequestMeta;
  expectAnswers({{call(1, badCall, meta), result(1, blank, kModernMeta + ",")},
                 {call(3, unknownCall, meta), unknownAsError},
                 {call(2, failingCall, meta), result(2, missing, kModernMeta + ",")}});
}
}  // namespace
}  // namespace diruri
