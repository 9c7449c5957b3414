import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import { after, before, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { connect, TerminalClient } from '../src/index.js';
import { agentPath, collect, limit, privateFolder, startAgent, waitFor } from './support.js';

let agent, client;
before(async () => {
  agent = await startAgent();
  client = await connect({ env: agent.env, highWaterMark: 4096 });
});
after(async () => {
  await client?.close();
  await agent?.stop();
});
const openSh = (options) => client.openShell({ shell: '/bin/sh', ...options });

test('a shell runs what is typed, at the size given by openShell and resize', limit, async () => {
  const shell = await openSh({ columns: 101, rows: 33 });
  const seen = collect(shell);
  shell.write('echo "grüße-$((6*7))"; stty size\n');
  await seen.until('grüße-42\r\n33 101');
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
  shell.close();
  await assert.rejects(client.openShell({ shell: 'relative/sh' }), { code: 'EOPEN', method: 'openShell' });
});

test('a shell with marks tells where its commands start and finish, and lists them', limit, async () => {
  const shell = await openSh({ marks: true });
  const chunks = [];
  const marks = [];
  shell.on('output', (data) => chunks.push(data));
  for (const name of ['commandStarted', 'commandFinished']) shell.on(name, (mark) => marks.push({ name, ...mark }));
  // The command line comes escaped, as shell integration sends it: \x3b for ';' and \\ for '\'.
  shell.write(String.raw`printf '\033]133;A\007\033]633;E;echo a\\x3bb\\\\c\007\033]133;C\007'; echo ran; printf '\033]133;D;3\007'` + '\n');
  await waitFor('both marks', () => marks.length === 2 && Buffer.concat(chunks).includes('\x1b]133;D;3\x07'));
  const output = Buffer.concat(chunks);
  const after = (sequence) => output.indexOf(sequence) + sequence.length;
  const { milliseconds } = marks[1];
  assert.ok(Number.isSafeInteger(milliseconds), `milliseconds ${milliseconds}`);
  const commandLine = 'echo a;b\\c';
  assert.deepEqual(marks, [
    { name: 'commandStarted', offset: after('\x1b]133;C\x07'), commandLine },
    { name: 'commandFinished', offset: after('\x1b]133;D;3\x07'), exitCode: 3, milliseconds },
  ]);
  assert.deepEqual(await shell.commands(), [{ commandLine, started: marks[0].offset, finished: marks[1].offset, exitCode: 3, milliseconds }]);
  assert.deepEqual(await (await openSh()).commands(), [], 'a shell without marks lists commands');
});

const childNamed = (pid, name) => fs.readFileSync(`/proc/${pid}/task/${pid}/children`, 'utf8').split(' ')
  .find((child) => child && fs.readFileSync(`/proc/${child}/comm`, 'utf8') === `${name}\n`);

test('a paused shell stops its program, and on resume every byte arrives in order', limit, async () => {
  const shell = await openSh({ folder: agent.folder });
  const seen = collect(shell);
  shell.pause();
  shell.write('seq 1 200000; echo seq-$((1+1))-done\n');
  let seq;
  await waitFor('seq to start', () => (seq = childNamed(shell.pid, 'seq')));
  await sleep(500); // unchecked, seq prints its 1.3 MB in far less
  assert.ok(fs.existsSync(`/proc/${seq}`), 'seq ran to its end while the client was paused');
  assert.ok(shell.bufferedBytes < 256 * 1024, `${shell.bufferedBytes} bytes piled up in the client`);
  // Nothing is read meanwhile, so a request times out; its late answer must not pass for the next one's.
  await assert.rejects(client.request('isBusy', [shell.idBytes], { timeout: 100 }), { code: 'ETIMEDOUT', message: /isBusy got no answer .* 100 ms/ });
  shell.resume();
  assert.equal(await shell.currentFolder(), fs.realpathSync(agent.folder));
  await seen.until('seq-2-done');
  const numbers = Array.from({ length: 200000 }, (_, i) => i + 1).join('\r\n');
  assert.ok(seen.text.includes(`${numbers}\r\nseq-2-done`), 'the numbers arrived incomplete or out of order');
});

test('writes wait for drain when the shell reads slower than they come', limit, async () => {
  const shell = await openSh();
  const seen = collect(shell);
  // Raw, or the line discipline would drop what does not fit one line.
  shell.write('stty raw -echo; echo raw-$((1+1)); head -c 4194304 | wc -c\n');
  await seen.until('raw-2');
  for (let sent = 0; sent < 4194304; sent += 65536) if (!shell.write('x'.repeat(65536))) await once(shell, 'drain');
  await seen.until('4194304');
});

test('a notification the agent refuses is reported as an error naming it', limit, async () => {
  const errors = [];
  client.on('error', (error) => errors.push(error));
  const shell = await openSh();
  client.notify('write', [shell.idBytes, 'text is not bytes']);
  await shell.isBusy(); // answered after whatever the agent said about the write
  assert.deepEqual([errors[0].method, errors[0].code], ['write', 'EREFUSED']);
  assert.deepEqual(await shell.isBusy(), { busy: false, name: null }, 'the connection stays open');
});

test('a refused identifier hears why before the connection closes', limit, async () => {
  const stranger = new TerminalClient({ env: agent.env, identifier: 'com.example.stranger' });
  const events = [];
  for (const name of ['closing', 'close']) stranger.on(name, (info) => events.push([name, info.reason ?? info]));
  const error = await stranger.connect().catch((failure) => failure);
  assert.equal(error.code, 'ECONNCLOSED');
  assert.deepEqual(events, [['closing', error.reason], ['close', error.reason]]);
  assert.ok(error.message.includes(error.reason));
});

test('a local agent is started when none listens, and failures name what was missing', limit, async () => {
  const folder = privateFolder();
  const env = { ...process.env, XDG_RUNTIME_DIR: folder };
  await assert.rejects(connect({ env }), { code: 'ENOENT', message: new RegExp(folder) });
  await assert.rejects(connect({ env, agentPath: `${folder}/no-agent` }), { message: /no-agent/ });
  const started = await connect({ env, agentPath });
  const shell = await started.openShell({ shell: '/bin/sh' });
  shell.write('echo started-$((6*7))\n');
  await collect(shell).until('started-42');
  await started.close();
  started.agentProcess.kill();
  fs.rmSync(folder, { recursive: true, force: true });
});
