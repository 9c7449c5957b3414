import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { Encoder, decodeMultiStream } from '@msgpack/msgpack';
import { connect, TerminalClient } from '../src/index.js';
import { agentPath, collect, limit, privateFolder, startAgent, waitFor } from './agent.js';

let agent;
before(async () => (agent = await startAgent()));
after(() => agent?.stop());

// A stand-in agent that answers hello, then holds every answer back until asked for "b".
async function stubAgent(folder) {
  const socketPath = path.join(folder, 'stub.sock');
  const encoder = new Encoder();
  const server = net.createServer(async (socket) => {
    const held = [];
    for await (const [kind, msgid, method] of decodeMultiStream(socket)) {
      if (kind !== 0) continue;
      if (method === 'hello') socket.write(encoder.encode([1, msgid, null, 1]));
      else held.push([1, msgid, null, method.toUpperCase()], [2, 'laterNotification', [1]]);
      if (method === 'b') for (const message of held) socket.write(encoder.encode(message));
    }
  });
  server.listen(socketPath);
  await once(server, 'listening');
  return { socketPath, server };
}

test('answers are matched to requests by msgid, and a late or unknown message is ignored', limit, async () => {
  const stub = await stubAgent(agent.folder);
  const client = await connect({ socketPath: stub.socketPath });
  await assert.rejects(client.request('a', [], { timeout: 50 }), { code: 'ETIMEDOUT', method: 'a', message: /a got no answer .* 50 ms/ });
  assert.equal(await client.request('b', []), 'B');
  client.destroy();
  stub.server.close();
});

test('a local agent is started when none listens, and failures name what was missing', limit, async () => {
  const folder = privateFolder();
  const env = { ...process.env, XDG_RUNTIME_DIR: folder };
  await assert.rejects(connect({ env }), { code: 'ENOENT', message: new RegExp(folder) });
  await assert.rejects(connect({ env, agentPath: `${folder}/no-agent` }), { message: /no-agent/ });
  const client = await connect({ env, agentPath });
  try {
    const shell = await client.openShell({ shell: '/bin/sh' });
    const seen = collect(shell);
    shell.write('echo started-$((6*7))\n');
    await seen.until('started-42');
  } finally {
    await client.close();
    process.kill(client.agentProcess.pid);
    await waitFor('the started agent to end', () => !fs.existsSync(`/proc/${client.agentProcess.pid}`));
    fs.rmSync(folder, { recursive: true, force: true });
  }
});

test('a notification the agent refuses is reported as an error naming it', limit, async (t) => {
  const client = await connect({ env: agent.env });
  t.after(() => client.close());
  const errors = [];
  client.on('error', (error) => errors.push(error));
  const shell = await client.openShell({ shell: '/bin/sh' });
  client.notify('write', [shell.idBytes, 'text is not bytes']);
  // The answer to a request sent after it shows whether the agent said anything in between.
  await shell.isBusy();
  await sleep(200);
  if (errors.length === 0) return t.skip('agent does not send error notifications yet');
  assert.equal(errors[0].method, 'write');
  assert.equal(errors[0].code, 'EREFUSED');
  assert.deepEqual(await shell.isBusy(), { busy: false, name: null }, 'the connection stays open');
});

test('a refused identifier hears why before the connection closes', limit, async (t) => {
  const client = new TerminalClient({ env: agent.env, identifier: 'com.example.stranger' });
  const events = [];
  client.on('closing', (reason) => events.push(['closing', reason]));
  client.on('close', ({ reason }) => events.push(['close', reason]));
  const error = await client.connect().catch((failure) => failure);
  assert.equal(error.code, 'ECONNCLOSED');
  if (events[0]?.[0] !== 'closing') return t.skip('agent does not send closing notifications yet');
  const reason = events[0][1];
  assert.deepEqual(events, [['closing', reason], ['close', reason]]);
  assert.equal(error.reason, reason);
  assert.match(error.message, new RegExp(reason.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')));
});
