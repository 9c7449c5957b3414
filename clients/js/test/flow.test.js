import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { connect } from '../src/index.js';
import { collect, limit, startAgent, waitFor } from './agent.js';

let agent;
let client;
before(async () => {
  agent = await startAgent();
  client = await connect({ env: agent.env, highWaterMark: 4096 });
});
after(async () => {
  await client?.close();
  await agent?.stop();
});

const childNamed = (pid, name) =>
  fs.readFileSync(`/proc/${pid}/task/${pid}/children`, 'utf8').split(' ').filter(Boolean)
    .find((child) => fs.readFileSync(`/proc/${child}/comm`, 'utf8').trim() === name);

test('a paused shell stops its program, and on resume every byte arrives in order', limit, async () => {
  const shell = await client.openShell({ shell: '/bin/sh' });
  const seen = collect(shell);
  shell.pause();
  shell.write('seq 1 200000; echo seq-$((1+1))-done\n');
  let seq;
  await waitFor('seq to start', () => (seq = childNamed(shell.pid, 'seq')));
  // Unchecked, seq prints all 1.3 MB in far less than this.
  await sleep(500);
  assert.ok(fs.existsSync(`/proc/${seq}`), 'seq ran to its end while the client was paused');
  assert.ok(shell.bufferedBytes < 256 * 1024, `${shell.bufferedBytes} bytes piled up in the client`);
  shell.resume();
  await seen.until('seq-2-done');
  const numbers = Array.from({ length: 200000 }, (_, i) => i + 1).join('\r\n');
  assert.ok(seen.text.includes(`${numbers}\r\nseq-2-done`), 'the numbers arrived incomplete or out of order');
});

test('writes wait for drain when the shell reads slower than they come', limit, async () => {
  const shell = await client.openShell({ shell: '/bin/sh' });
  const seen = collect(shell);
  // Raw, or the line discipline would drop what does not fit one line.
  shell.write('stty raw -echo; echo raw-$((1+1)); head -c 4194304 | wc -c\n');
  await seen.until('raw-2');
  const piece = 'x'.repeat(65536);
  for (let sent = 0; sent < 4194304; sent += piece.length) {
    if (!shell.write(piece)) await once(shell, 'drain');
  }
  await seen.until('4194304');
});
