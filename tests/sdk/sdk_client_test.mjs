// Drives the built server with the official MCP TypeScript SDK client over stdio, on a private X
// server: negotiation, the tool list (which the SDK validates), a record, stop and replay cycle,
// and the tools that are advertised but not carried out.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, readFileSync, existsSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const server = process.argv[2];
assert.ok(server, 'usage: node sdk_client_test.mjs <path of DiruriRediro>');

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

function payloadOf(result) {
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  assert.equal(result.isError, undefined);
  return JSON.parse(result.content[0].text);
}

const { xvfb, display } = await startXvfb();
const workspace = mkdtempSync(join(tmpdir(), 'diruri-sdk-'));
let client;
try {
  const transport = new StdioClientTransport({
    command: server,
    args: ['mcp'],
    env: { PATH: process.env.PATH, DISPLAY: display },
    stderr: 'pipe',
  });
  let stderr = '';
  transport.stderr?.on('data', (chunk) => { stderr += chunk; });
  client = new Client({ name: 'sdk-client-test', version: '1.0.0' });
  await client.connect(transport);

  assert.deepEqual(client.getServerVersion(), { name: 'rodave-zevedo-ziv-azizoz', version: '0.1.0' });
  assert.deepEqual(client.getServerCapabilities(), { tools: {} });
  await client.ping();

  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => t.name), [
    'event_stream_start', 'event_stream_status', 'event_stream_stop', 'permission_status',
    'generate_skill_from_recording', 'install_generated_skill', 'replay_skill', 'replay_status', 'replay_stop',
  ]);
  assert.deepEqual(tools[6].inputSchema.required, ['workspacePath', 'skillId']);

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
  const summary = JSON.parse(readFileSync(stopped.summaryPath, 'utf8'));
  assert.deepEqual(summary.steps.map((s) => s.intent),
    ['Replay mouse_down.', 'Replay mouse_up.', 'Replay key_down.', 'Replay key_up.']);

  // Install a skill that points at the recording, and replay it.
  const references = join(workspace, '.zeruva', 'skills', 'sdk-cycle', 'references');
  mkdirSync(references, { recursive: true });
  writeFileSync(join(references, 'recording.json'), JSON.stringify({ sessionId: started.sessionId }));
  const replayed = payloadOf(await client.callTool({
    name: 'replay_skill', arguments: { workspacePath: workspace, skillId: 'sdk-cycle' } }));
  assert.equal(replayed.status, 'success');
  assert.match(replayed.runId, /^run_sdk_cycle_\d{14}$/);
  const run = JSON.parse(readFileSync(join(replayed.runPath, 'run.json'), 'utf8'));
  assert.deepEqual(run.steps.map((s) => s.type), ['mouse_down', 'mouse_up', 'key_down', 'key_up']);
  assert.equal(run.screenshots.length, 2);
  assert.ok(existsSync(join(replayed.runPath, 'screenshots', 'after.png')));

  // Bad arguments and failed operations arrive as JSON-RPC errors, which the SDK raises.
  await assert.rejects(client.callTool({ name: 'replay_skill', arguments: { workspacePath: workspace } }),
    (e) => e.code === -32602 && /Invalid params/.test(e.message));
  await assert.rejects(client.callTool({ name: 'replay_skill', arguments: { workspacePath: workspace, skillId: 'none' } }),
    (e) => e.code === -32000 && /Internal error/.test(e.message));

  for (const name of ['generate_skill_from_recording', 'install_generated_skill', 'replay_status', 'replay_stop']) {
    assert.deepEqual(payloadOf(await client.callTool({ name, arguments: {} })), { error: 'unsupported_tool' });
  }

  await client.close();
  client = undefined;
  assert.equal(stderr, '');
} finally {
  if (client) await client.close().catch(() => {});
  xvfb.kill('SIGTERM');
  rmSync(workspace, { recursive: true, force: true });
}
