// Drives the built server with the official MCP TypeScript SDK clients over stdio, on a private X
// server: the 1.x SDK (initialize handshake) and the 2.x client in its default, auto-negotiating
// and pinned modes. Each runs the same record, stop and replay cycle; the checks around it cover
// negotiation, the tool list with its annotations, the empty lists, errors and process counts.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, existsSync, rmSync, chmodSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Client as LegacyClient } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport as LegacyStdioTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { Client } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';

const server = process.argv[2];
assert.ok(server, 'usage: node sdk_client_test.mjs <path of DiruriRediro>');

const TOOL_NAMES = [
  'event_stream_start', 'event_stream_status', 'event_stream_stop', 'permission_status',
  'generate_skill_from_recording', 'install_generated_skill', 'list_skills', 'replay_skill', 'replay_status',
  'replay_stop',
];
const REPORTING = { readOnlyHint: true, destructiveHint: false, idempotentHint: true, openWorldHint: false };

// Starts Xvfb on a free display and resolves with its number once it is ready.
function startXvfb() {
  return new Promise((resolve, reject) => {
    const xvfb = spawn('Xvfb', ['-displayfd', '3', '-noreset', '-nolisten', 'tcp', '-screen', '0', '1280x800x24'],
      { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
    let text = '';
    xvfb.stdio[3].on('data', (chunk) => {
      text += chunk;
      if (text.includes('\n')) resolve({ xvfb, display: `:${text.trim()}` });
    });
    xvfb.on('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
  });
}

function payloadOf(result, { isError } = {}) {
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  assert.equal(result.isError, isError);
  return JSON.parse(result.content[0].text);
}

const { xvfb, display } = await startXvfb();
const scratch = mkdtempSync(join(tmpdir(), 'diruri-sdk-'));

// The server behind a script that counts its starts, so a test can tell how many processes a
// client spawned.
const starts = join(scratch, 'starts');
const counted = join(scratch, 'counted-server');
writeFileSync(counted, `#!/bin/sh\necho start >> '${starts}'\nexec '${server}' "$@"\n`);
chmodSync(counted, 0o755);
const countStarts = () => (existsSync(starts) ? readFileSync(starts, 'utf8').trim().split('\n').length : 0);
// Installed skills go to a store of the test's own.
const skillStore = join(scratch, 'data', 'diruri-rediro', 'skills');
const serverParams = {
  command: counted, args: ['mcp'],
  env: { PATH: process.env.PATH, DISPLAY: display, XDG_DATA_HOME: join(scratch, 'data') },
  stderr: 'pipe',
};

// Every method the 2.x client's stdio transports send, the disposable probe sibling's included.
const methodsSent = [];
const send = StdioClientTransport.prototype.send;
StdioClientTransport.prototype.send = function (message, ...rest) {
  if (message.method) methodsSent.push(message.method);
  return send.call(this, message, ...rest);
};
// Probes in place, on the session's own process (the SDK treats subclasses so).
class InPlaceTransport extends StdioClientTransport {}

// Connects, checks the listing, runs a recording and its replay, and checks the errors.
async function cycle(label, client, transport) {
  let stderr = '';
  transport.stderr?.on('data', (chunk) => { stderr += chunk; });
  await client.connect(transport);
  const workspace = join(scratch, label);
  try {
    assert.deepEqual(client.getServerVersion(), { name: 'rodave-zevedo-ziv-azizoz', version: '0.1.0' });
    assert.deepEqual(client.getServerCapabilities(), { tools: {} });

    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((t) => t.name), TOOL_NAMES);
    assert.deepEqual(tools[7].inputSchema.required, ['workspacePath', 'skillId']);
    assert.deepEqual(Object.keys(tools[2].inputSchema.properties).sort(), ['sessionId', 'workspacePath']);
    assert.equal(tools[0].title, 'Start recording');
    for (const i of [1, 3, 6, 8]) assert.deepEqual(tools[i].annotations, REPORTING, tools[i].name);
    assert.deepEqual(tools[7].annotations,
      { readOnlyHint: false, destructiveHint: true, idempotentHint: false, openWorldHint: true });

    const permissions = payloadOf(await client.callTool({ name: 'permission_status', arguments: {} }));
    assert.deepEqual(permissions, { accessibilityTrusted: true, inputCaptureActive: false, screenCaptureAllowed: true });

    const started = payloadOf(await client.callTool({
      name: 'event_stream_start', arguments: { workspacePath: workspace, sessionName: 'SDK cycle' } }));
    assert.equal(started.status, 'recording');
    assert.equal(started.inputCaptureActive, true);
    assert.equal(started.startScreenshotOk, true);
    assert.match(started.sessionId, /^sdk-cycle-\d{17}$/);

    // A click and a key press from an independent tool, then a query that sees capture running.
    const xdotool = (...args) => spawnSync('xdotool', args, { env: { ...process.env, DISPLAY: display } });
    assert.equal(xdotool('mousemove', '200', '150', 'click', '1').status, 0);
    assert.equal(xdotool('key', 'a').status, 0);
    const status = payloadOf(await client.callTool({ name: 'event_stream_status', arguments: {} }));
    assert.equal(status.status, 'recording');
    assert.equal(status.inputCaptureActive, true);

    // The capture thread logs asynchronously: wait until the four input lines are in the log.
    const log = join(started.sessionPath, 'events.jsonl');
    const deadline = Date.now() + 10000;
    const inputTypes = () => readFileSync(log, 'utf8').trim().split('\n').map((l) => JSON.parse(l).type)
      .filter((t) => ['mouse_down', 'mouse_up', 'key_down', 'key_up'].includes(t));
    while (inputTypes().length < 4 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 20));
    assert.deepEqual(inputTypes(), ['mouse_down', 'mouse_up', 'key_down', 'key_up']);

    const stopped = payloadOf(await client.callTool({ name: 'event_stream_stop', arguments: {} }));
    assert.equal(stopped.status, 'stopped');
    assert.equal(stopped.sessionId, started.sessionId);

    // The recording made into a skill, installed into the local skill store, and replayed by its id
    // from another workspace, where neither the session nor the skill's folder exists.
    const generated = payloadOf(await client.callTool({ name: 'generate_skill_from_recording',
      arguments: { workspacePath: workspace, sessionId: started.sessionId, skillId: 'sdk-cycle' } }));
    assert.equal(generated.status, 'generated');
    assert.equal(generated.steps, 2);
    // The key typed is the skill's one parameter, with what was typed as its default.
    assert.deepEqual(generated.parameters.map((p) => [p.name, p.secret, p.default]), [['text_1', false, 'a']]);
    assert.match(readFileSync(join(generated.skillPath, 'SKILL.md'), 'utf8'), /^---\nname: sdk-cycle\n/);
    const installed = payloadOf(await client.callTool({ name: 'install_generated_skill',
      arguments: { workspacePath: workspace, skillId: 'sdk-cycle' } }));
    assert.equal(installed.installedPath, join(skillStore, 'sdk-cycle'));
    const elsewhere = join(scratch, `${label}-elsewhere`);
    mkdirSync(elsewhere);
    // Found from the other workspace, in the store.
    const listed = payloadOf(await client.callTool({ name: 'list_skills', arguments: { workspacePath: elsewhere } }));
    assert.deepEqual(listed.skills.map((s) => [s.skillId, s.location, s.path]),
      [['sdk-cycle', 'store', join(skillStore, 'sdk-cycle')]]);
    assert.deepEqual(listed.skills[0].parameters, generated.parameters);
    // Replayed with progress reports: the SDK sends a progress token and calls back on each report.
    const progress = [];
    const onprogress = (p) => progress.push(p);
    const replayCall = { name: 'replay_skill',
      arguments: { workspacePath: elsewhere, skillId: 'sdk-cycle', arguments: { text_1: 'b' } } };
    const replayed = payloadOf(await (client instanceof LegacyClient
      ? client.callTool(replayCall, undefined, { onprogress })
      : client.callTool(replayCall, { onprogress })));
    assert.equal(replayed.status, 'success');
    assert.ok(progress.length >= 1, `${label}: progress reported`);
    for (const [i, p] of progress.entries()) {
      assert.equal(p.total, 4);
      assert.ok(p.progress > (i > 0 ? progress[i - 1].progress : 0));
    }
    const run = JSON.parse(readFileSync(join(replayed.runPath, 'run.json'), 'utf8'));
    assert.deepEqual(run.steps.map((s) => s.type), ['mouse_down', 'mouse_up', 'key_down', 'key_up']);
    // The key's step typed the argument instead: its events say by which parameter, never the text.
    assert.deepEqual(run.steps.map((s) => s.argument), [undefined, undefined, 'text_1', 'text_1']);

    // Bad arguments and failed operations are tool results whose text says why, which is what the
    // model is shown; an unknown tool is an error.
    const failed = async (args) => {
      const result = await client.callTool({ name: 'replay_skill', arguments: args });
      assert.equal(result.isError, true);
      return result.content[0].text;
    };
    assert.equal(await failed({ workspacePath: workspace }), 'The argument skillId is required.');
    assert.equal(await failed({ workspacePath: workspace, skillId: 'sdk-cycle', arguments: { name: 'x' } }),
      'The skill has no parameter "name"; its parameters are text_1.');
    assert.equal(await failed({ workspacePath: workspace, skillId: 'none' }),
      `The skill "none" was not found in ${workspace}/.zeruva/skills or ${skillStore}.`);
    await assert.rejects(client.callTool({ name: 'no_such_tool', arguments: {} }),
      (e) => e.code === -32602 && /Unknown tool: no_such_tool/.test(e.message));
    for (const name of ['replay_status', 'replay_stop']) {
      assert.deepEqual(payloadOf(await client.callTool({ name, arguments: {} })), { status: 'idle' });
    }
  } finally {
    await client.close();
  }
  assert.equal(stderr, '', `${label}: nothing on stderr`);
}

const newClient = (mode) => new Client({ name: 'sdk-client-test', version: '2.0.0' },
  mode === undefined ? {} : { versionNegotiation: { mode } });

try {
  // The 1.x SDK: the initialize handshake, and the lists clients ask for whatever is advertised.
  {
    const client = new LegacyClient({ name: 'sdk-client-test', version: '1.0.0' });
    const transport = new LegacyStdioTransport(serverParams);
    await client.connect(transport);
    await client.ping();
    assert.deepEqual(await client.listResources(), { resources: [] });
    assert.deepEqual(await client.listResourceTemplates(), { resourceTemplates: [] });
    assert.deepEqual(await client.listPrompts(), { prompts: [] });
    await assert.rejects(client.request({ method: 'logging/setLevel', params: { level: 'info' } }, {}),
      (e) => e.code === -32601 && /Method not found/.test(e.message));
    await client.close();
    await cycle('sdk-1', new LegacyClient({ name: 'sdk-client-test', version: '1.0.0' }), new LegacyStdioTransport(serverParams));
  }

  // The 2.x client: its default speaks the initialize handshake.
  {
    const client = newClient();
    methodsSent.length = 0;
    await cycle('client-default', client, new StdioClientTransport(serverParams));
    assert.equal(methodsSent[0], 'initialize');
  }

  // Auto negotiation settles on the modern revision through server/discover and never falls back
  // to initialize. The base transport probes on a throwaway sibling process, hence two starts; a
  // transport that probes in place starts one.
  for (const [Transport, processes] of [[StdioClientTransport, 2], [InPlaceTransport, 1]]) {
    const client = newClient('auto');
    methodsSent.length = 0;
    const before = countStarts();
    const transport = new Transport(serverParams);
    await client.connect(transport);
    assert.equal(client.getNegotiatedProtocolVersion(), '2026-07-28');
    await client.close();
    assert.equal(countStarts() - before, processes, `${Transport.name}: server processes started`);
    console.log(`auto negotiation with ${Transport.name}: ${processes} server processes, 2026-07-28`);
    assert.equal(methodsSent[0], 'server/discover');
    assert.ok(!methodsSent.includes('initialize'), `${Transport.name} fell back to initialize`);
  }
  methodsSent.length = 0;
  await cycle('client-auto', newClient('auto'), new StdioClientTransport(serverParams));
  assert.ok(!methodsSent.includes('initialize'));

  // Pinned to the modern revision: no fallback exists, so the cycle proves it is served.
  {
    const client = newClient({ pin: '2026-07-28' });
    methodsSent.length = 0;
    await cycle('client-pinned', client, new InPlaceTransport(serverParams));
    assert.ok(!methodsSent.includes('initialize'));
  }
} finally {
  StdioClientTransport.prototype.send = send;
  xvfb.kill('SIGTERM');
  rmSync(scratch, { recursive: true, force: true });
}
