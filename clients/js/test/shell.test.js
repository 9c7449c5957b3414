import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import { after, before, test } from 'node:test';
import { connect } from '../src/index.js';
import { collect, limit, startAgent, waitFor } from './agent.js';

let agent;
let client;
before(async () => {
  agent = await startAgent();
  client = await connect({ env: agent.env });
});
after(async () => {
  await client?.close();
  await agent?.stop();
});
const openSh = (options) => client.openShell({ shell: '/bin/sh', ...options });

test('text typed into a shell runs, and its output comes back as UTF-8', limit, async () => {
  const shell = await openSh();
  const seen = collect(shell);
  shell.write('echo "grüße-$((6*7))"\n');
  await seen.until('grüße-42');
});

test('the terminal size follows openShell and resize', limit, async () => {
  const shell = await openSh({ columns: 101, rows: 33 });
  const seen = collect(shell);
  shell.write('stty size\n');
  await seen.until('33 101');
  shell.resize(120, 40);
  shell.write('stty size\n');
  await seen.until('40 120');
  for (const [columns, rows] of [[80.5, 24], [80, NaN], ['80', 24]]) {
    assert.throws(() => shell.resize(columns, rows), TypeError);
    await assert.rejects(openSh({ columns, rows }), TypeError);
  }
});

test('how a shell ended is decoded from its wait status', limit, async () => {
  for (const [command, expected] of [
    ['exit 3', { code: 3, signal: null }],
    ['exit 0', { code: 0, signal: null }],
    ['kill -KILL $$', { code: null, signal: 9, signalName: 'SIGKILL' }],
  ]) {
    const shell = await openSh();
    shell.write(`${command}\n`);
    const [status] = await once(shell, 'exit');
    for (const [field, value] of Object.entries(expected)) assert.equal(status[field], value, command);
    assert.equal(shell.ended, true);
  }
});

test('the shell reports its folder and whether a program runs in it', limit, async () => {
  const folder = fs.realpathSync(agent.folder);
  const shell = await openSh({ folder });
  assert.equal(await shell.currentFolder(), folder);
  assert.deepEqual(await shell.isBusy(), { busy: false, name: null });
  const changed = once(shell, 'folderChanged');
  shell.write('cd /usr && sleep 30\n');
  assert.deepEqual(await changed, ['/usr']);
  await waitFor('sleep to run', async () => (await shell.isBusy()).busy);
  assert.deepEqual(await shell.isBusy(), { busy: true, name: 'sleep' });
  assert.equal(await shell.currentFolder(), '/usr');
  shell.close();
});

test('a shell the agent cannot start is refused with its reason', limit, async () => {
  await assert.rejects(client.openShell({ shell: 'relative/sh' }), { code: 'EOPEN', method: 'openShell' });
});
