import assert from 'node:assert/strict';
import { once } from 'node:events';
import { after, before, describe, test } from 'node:test';
import { connect, TerminalClient } from '../src/index.js';
import { agentPath, collect, fakeAgent, limit, startAgent, startSshd, waitFor } from './support.js';

const idBytes = Uint8Array.from({ length: 16 }, (_, i) => i + 1);
const idString = '01020304-0506-0708-090a-0b0c0d0e0f10';
const bytes = (text) => new TextEncoder().encode(text);
const text = (chunks) => Buffer.concat(chunks).toString();
const numbered = (count) => Array.from({ length: count }, (_, i) => i + 1).join('\r\n');

describe('against a stand-in agent', () => {
  test('only the options asked for travel: none sends version 1 openShell, a version 1 agent is not asked', limit, async () => {
    let version = 2;
    const fake = await fakeAgent((method) => (method === 'hello' ? [version] : [[4242, null]]));
    const opened = [];
    for (const options of [{}, { keep: 60 }, { keep: 60, history: 4096 }, { history: 0 }]) {
      const client = await connect({ socketPath: fake.socketPath });
      const shell = await client.openShell({ shell: '/bin/sh', ...options });
      assert.equal(shell.kept, options.keep > 0);
      opened.push(fake.received.at(-1)[3].slice(6));
      await assert.rejects(client.openShell({ keep: 1.5 }), TypeError);
      await client.close();
    }
    assert.deepEqual(opened, [[], [{ keep: 60 }], [{ keep: 60, history: 4096 }], [{ history: 0 }]]);

    version = 1;
    const old = await connect({ socketPath: fake.socketPath });
    const sent = fake.received.length;
    await assert.rejects(old.openShell({ keep: 60 }), { code: 'EVERSION' });
    await assert.rejects(old.attachShell(idString), { code: 'EVERSION' });
    await assert.rejects(old.listShells(), { code: 'EVERSION' });
    assert.equal(fake.received.length, sent, 'a version 1 agent was sent a version 2 request');
    await old.close();
    await fake.stop();
  });

  test('replay sent with the answer is delivered, offsets count delivered bytes, detached and detach end it', limit, async () => {
    const fake = await fakeAgent((method) => {
      if (method === 'hello') return [2];
      if (method === 'list') return [[{ id: idBytes, pid: 4242, attached: false, left: 30, later: 'ignored' }]];
      if (method === 'openShell') return [[4242, null], [2, 'output', [fake.received.at(-1)[3][0], bytes('seen')]]];
      // The replay and the take-over written in one go right behind the answer.
      return [[4242, 1000, null], [2, 'output', [idBytes, bytes('abc')]], [2, 'output', [idBytes, bytes('defg')]],
        [2, 'detached', [idBytes, 'attached elsewhere']], [2, 'output', [idBytes, bytes('late')]]];
    });
    const client = await connect({ socketPath: fake.socketPath });
    assert.deepEqual(await client.listShells(), [{ id: idString, pid: 4242, attached: false, left: 30, later: 'ignored' }]);
    await assert.rejects(client.attachShell('not-an-id'), TypeError);
    await assert.rejects(client.attachShell(idString, { from: -1 }), TypeError);

    const shell = await client.attachShell(idString.toUpperCase(), { from: 400, columns: 90, rows: 30 });
    const [method, [id, ...rest]] = fake.received.at(-1).slice(2);
    assert.deepEqual([method, Uint8Array.from(id), ...rest], ['attach', idBytes, 400, 90, 30]);
    assert.deepEqual([shell.id, shell.pid, shell.offset, shell.missed], [idString, 4242, 1000, 600]);
    const chunks = [];
    const offsets = [];
    shell.on('output', (data) => chunks.push(data) && offsets.push(shell.offset));
    const [reason] = await once(shell, 'detached');
    assert.equal(reason, 'attached elsewhere');
    assert.deepEqual([text(chunks), offsets, shell.ended], ['abcdefg', [1003, 1007], true]);

    const plain = await client.openShell();
    assert.throws(() => plain.detach(), { code: 'ENOTKEPT' });
    const kept = await client.openShell({ keep: 5 });
    await collect(kept).until('seen');
    kept.detach();
    await waitFor('the detach', () => fake.received.at(-1)[1] === 'detach');
    assert.deepEqual(Uint8Array.from(fake.received.at(-1)[2][0]), kept.idBytes);
    assert.deepEqual([kept.offset, kept.ended], [4, true]);
    await client.close();
    await fake.stop();
  });
});

describe('against the agent', () => {
  let agent, client, skip;
  before(async () => {
    agent = await startAgent();
    client = await connect({ env: agent.env });
    if (client.protocolVersion < 2) skip = `the agent at ${agentPath} speaks protocol ${client.protocolVersion}; kept shells need 2`;
  });
  after(async () => {
    await client?.close();
    await agent?.stop();
  });
  const skipped = (t) => {
    if (!skip) return false;
    t.diagnostic(skip);
    t.skip(skip);
    return true;
  };

  test('a client dropped mid-stream attaches again from its offset and gets every byte once', limit, async (t) => {
    if (skipped(t)) return;
    const first = await connect({ env: agent.env });
    const shell = await first.openShell({ shell: '/bin/sh', keep: 30 });
    const before = [];
    shell.on('output', (data) => before.push(data));
    shell.write('stty -echo; echo go; seq 1 100000; echo seq-done\n');
    await waitFor('output to flow', () => text(before).includes('\n5000\r'));
    first.destroy();
    const { id, offset } = shell;

    const second = await connect({ env: agent.env });
    const again = await second.attachShell(id, { from: offset });
    assert.deepEqual([again.pid, again.offset, again.missed], [shell.pid, offset, 0]);
    const seen = collect(again);
    await seen.until('seq-done');
    const all = text(before) + seen.text;
    assert.ok(all.includes(`go\r\n${numbered(100000)}\r\nseq-done`), 'a byte was lost or repeated at the reattach');
    again.close();
    await second.close();
  });

  test('a shell taken by another connection says so there; detached it is listed and replays', limit, async (t) => {
    if (skipped(t)) return;
    const shell = await client.openShell({ shell: '/bin/sh', keep: 30 });
    const plain = await client.openShell({ shell: '/bin/sh' });
    shell.write('echo first-$((6*7))\n');
    await collect(shell).until('first-42');

    const other = await connect({ env: agent.env });
    const detached = once(shell, 'detached');
    const taken = await other.attachShell(shell.id, { columns: 100, rows: 31 });
    assert.deepEqual(await detached, ['attached elsewhere']);
    assert.equal(shell.ended, true);
    const seen = collect(taken);
    await seen.until('first-42');
    assert.equal(taken.missed, 0);

    const listed = async () => (await client.listShells()).filter(({ id }) => id === shell.id || id === plain.id);
    assert.deepEqual((await listed()).map(({ id, pid, attached, columns, rows, left }) => ({ id, pid, attached, columns, rows, left })),
      [{ id: shell.id, pid: shell.pid, attached: true, columns: 100, rows: 31, left: null }], 'a shell not kept is not listed');

    taken.detach();
    await waitFor('the shell to be detached', async () => (await listed())[0]?.attached === false);
    const [{ left, keep }] = await listed();
    assert.ok(keep === 30 && left > 0 && left <= 30, `keep ${keep}, left ${left}`);
    await assert.rejects(other.attachShell('00000000-0000-4000-8000-000000000000'), { code: 'EATTACH', method: 'attach' });
    const back = await other.attachShell(shell.id);
    back.write('echo back-$((6*7))\n');
    await collect(back).until('back-42');
    back.close();
    await other.close();
  });

  describe('over ssh', () => {
    let sshd;
    before(async () => (sshd = await startSshd(agent)));
    after(() => sshd?.stop());

    test('a shell runs over ssh, closing ends ssh, and an ssh that ends first names the host and status', limit, async () => {
      const remote = await connect({ ssh: sshd.ssh });
      const shell = await remote.openShell({ shell: '/bin/sh' });
      const seen = collect(shell);
      shell.write('echo over-ssh-$((6*7)); exit 5\n');
      const [status] = await once(shell, 'exit');
      assert.deepEqual([seen.text.includes('over-ssh-42'), status.code], [true, 5]);
      const ssh = remote.sshProcess;
      await remote.close();
      assert.equal(ssh.exitCode, 0, 'ssh did not end of itself once the client closed');
      await assert.rejects(connect({ ssh: { ...sshd.ssh, command: 'exit 3' } }), { code: 'ESSH', message: /127\.0\.0\.1 exited with status 3/ });
    });

    test('a kept shell goes on across a killed ssh with every byte once and in order; one not kept is lost', limit, async (t) => {
      if (skipped(t)) return;
      const remote = await connect({ ssh: sshd.ssh, reconnect: { delay: 10 } });
      const plain = await remote.openShell({ shell: '/bin/sh' });
      const shell = await remote.openShell({ shell: '/bin/sh', keep: 30 });
      const seen = collect(shell);
      // Output held back while paused is dropped at the break and must come again, not twice.
      const pauseMidway = () => seen.text.includes('\n5000\r') && shell.off('output', pauseMidway).pause();
      shell.on('output', pauseMidway);
      shell.write('stty -echo; echo go; seq 1 100000; echo seq-done\n');
      await waitFor('output to wait in the client', () => shell.bufferedBytes > 0);
      const [lost, reconnected] = [once(plain, 'lost'), once(remote, 'reconnected')];
      const first = remote.sshProcess;
      first.kill('SIGKILL');
      const [[error]] = await Promise.all([lost, reconnected]);
      assert.deepEqual([error.code, plain.ended, shell.ended], ['ELOST', true, false]);
      assert.notEqual(remote.sshProcess, first);
      shell.resume();
      await seen.until('\nseq-done');
      assert.ok(seen.text.includes(`go\r\n${numbered(100000)}\r\nseq-done`), 'a byte was lost or repeated across the reconnect');
      assert.equal(shell.missed, 0);
      shell.write('exit 4\n');
      assert.equal((await once(shell, 'exit'))[0].code, 4);
      await remote.close();
    });
  });
});
